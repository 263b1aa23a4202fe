// kvzsim: the virtual board. `init` makes a board directory (flash partitions, EEPROMs, /user,
// the USB stick); `boot` powers the board on once: it runs the unchanged launcher binary in a
// bubblewrap sandbox whose /dev, /tmp, /user and /mnt/usb come from the board directory, with the
// device emulator preloaded, and reports how the run ended.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board_files.h"
#include "console_line.h"
#include "settings.h"

namespace {

constexpr int kExitApplication = 0;
constexpr int kExitReboot = 1;
constexpr int kExitOwnError = 2;
constexpr int kExitOther = 3;

[[noreturn]] void die(const std::string& msg) {
  fprintf(stderr, "kvzsim: %s\n", msg.c_str());
  exit(kExitOwnError);
}

constexpr const char* kInitHelp =
    "usage: kvzsim init BOARD [--blank] [--erase-size BYTES]\n"
    "  makes the board directory BOARD: the demo board (flash partitions, VPD with slot 1\n"
    "  selected and USB boot off, two application bundles in /user/images, a diagnostics\n"
    "  record in the rescue partition), or erased flash and EEPROM with --blank\n";
constexpr const char* kBootHelp =
    "usage: kvzsim boot BOARD [--target host|ppc] [--time-scale N] [--usb] [--launcher PATH]\n"
    "                         [--serial TTY|none] [--pty] [--system] [--fault KEY=VALUE]...\n"
    "                         [-- ARG...]\n"
    "  powers the board on once; this terminal is its console and, unless --serial names\n"
    "  another line, its serial line /dev/ttyS0 too. --pty gives the board a console of its\n"
    "  own for a terminal program (its name is shown on standard error). --usb inserts the\n"
    "  stick; --time-scale N runs board time N times faster. --system boots the board on a\n"
    "  real PowerPC kernel under qemu-system-ppc (the kernel is built once, on first use).\n"
    "  exit status: 0 the launcher became /bin/backtrace, 1 it rebooted the board, 3 any\n"
    "  other end (a crash, an exit without reboot, a power cut), 2 kvzsim's own error\n";
constexpr const char* kVpdHelp =
    "usage: kvzsim vpd BOARD [slot=1|2] [usbboot=on|off]\n"
    "  sets the selected slot and the USB-boot byte of the VPD EEPROM; shows what it holds\n";
constexpr const char* kEnvHelp =
    "usage: kvzsim env BOARD [KEY=VALUE]...\n"
    "  writes the boot loader's environment (none: an empty one), as mkenvimage -b -s 65536\n";

void usage(FILE* to = stderr) {
  fprintf(to, "%s%s%s%s", kInitHelp, kBootHelp, kVpdHelp, kEnvHelp);
}

std::string self_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) die("cannot find my own executable");
  buf[n] = 0;
  std::string p(buf);
  return p.substr(0, p.rfind('/'));
}

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// ---- boot -----------------------------------------------------------------------------------

struct BootOptions {
  std::string board;
  std::string target = "host";
  double time_scale = 1.0;
  bool usb = false;
  bool pty = false;  // a console of the board's own, for a terminal program
  bool system = false;  // the board on a real kernel under qemu-system-ppc
  std::string launcher;
  std::string serial;
  std::vector<std::string> faults;
  std::vector<std::string> launcher_args;  // after "--": passed to the launcher program
};

BootOptions parse_boot(int argc, char** argv) {
  BootOptions o;
  o.board = argv[0];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("option " + a + " needs a value");
      return argv[++i];
    };
    if (a == "--target") {
      o.target = value();
      if (o.target != "host" && o.target != "ppc") die("--target must be host or ppc");
    } else if (a == "--time-scale") {
      o.time_scale = atof(value().c_str());
      if (o.time_scale <= 0) die("--time-scale must be a positive number");
    } else if (a == "--usb") {
      o.usb = true;
    } else if (a == "--pty") {
      o.pty = true;
    } else if (a == "--system") {
      o.system = true;
    } else if (a == "--launcher") {
      o.launcher = value();
    } else if (a == "--serial") {
      o.serial = value();
    } else if (a == "--") {
      o.launcher_args.assign(argv + i + 1, argv + argc);
      break;
    } else if (a == "--fault") {
      o.faults.push_back(value());
      if (o.faults.back().find('=') == std::string::npos) die("--fault needs KEY=VALUE");
    } else {
      fputs(kBootHelp, stderr);
      die("unknown boot option " + a);
    }
  }
  return o;
}

// The PowerPC launcher and emulator: the PowerPC build tree this one was configured with, the
// folder an installed kvzsim carries them in, or the build tree beside this one.
std::string ppc_bin_dir() {
  const std::string configured = KVZ_PPC_BIN_DIR;
  if (!configured.empty() && exists(configured)) return configured;
  const std::string installed = self_dir() + "/" KVZ_INSTALL_LIB_FROM_BIN "/ppc";
  return exists(installed) ? installed : self_dir() + "/../../build-ppc/bin";
}

// Host programs are reached through symlinks into their real folder, bound at /kvzsim/host;
// the platform's own programs are stubs in their place.
void make_program_farm(const std::string& run, const std::string& host_dir, const char* link_root,
                       const std::string& farm) {
  if (mkdir(farm.c_str(), 0755) != 0) die("cannot create " + farm);
  DIR* d = opendir(host_dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || is_stubbed_program(name)) continue;
    const std::string target = std::string(link_root) + "/" + name;
    if (symlink(target.c_str(), (farm + "/" + name).c_str()) != 0) die("cannot link " + name);
  }
  closedir(d);
  (void)run;
}

void copy_file(const std::string& from, const std::string& to, mode_t mode) {
  const std::vector<uint8_t> data = read_whole(from);
  write_whole(to, data, mode);
}

// A run that was killed (a test's time-out) leaves its run directory behind. Each is named after
// its kvzsim's process id, and goes with the next run once that process is gone.
void remove_stale_run_dirs(const char* base) {
  DIR* d = opendir(base);
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    int pid = 0, named = 0;  // named: the name goes on with "-" after the number
    if (sscanf(e->d_name, "kvzsim-run-%d-%n", &pid, &named) == 1 && named > 0 && pid > 0 &&
        kill(pid, 0) != 0 && errno == ESRCH)
      remove_tree(std::string(base) + "/" + e->d_name);
  }
  closedir(d);
}

struct RunDir {
  std::string path;
  ~RunDir() {
    if (!path.empty()) remove_tree(path);
  }
};

// A file of ours that lies beside kvzsim in a build tree, and in the folder at from_bin (relative
// to kvzsim's own: its private folder under lib) in an installed one.
std::string our_file(const std::string& name, const char* from_bin) {
  const std::string beside = self_dir() + "/" + name;
  return exists(beside) ? beside : self_dir() + "/" + from_bin + "/" + name;
}

std::string board_library(const std::string& name) {
  return our_file(name, KVZ_INSTALL_LIB_FROM_BIN);
}

void prepare_run_dir(const RunDir& run, const BootOptions& o) {
  std::string config = read_text(o.board + "/config");
  char scale[64];
  snprintf(scale, sizeof scale, "time_scale=%g\n", o.time_scale);
  config += scale;
  for (const std::string& f : o.faults) config += f + "\n";
  write_text(run.path + "/config", config);

  make_program_farm(run.path, "/usr/bin", "/kvzsim/host/bin", run.path + "/usrbin");
  make_program_farm(run.path, "/usr/sbin", "/kvzsim/host/sbin", run.path + "/usrsbin");
  write_stubs(run.path + "/usrbin", run.path + "/usrsbin", config);

  make_dirs(run.path + "/lib/" KVZ_HOST_MULTIARCH);
  copy_file(board_library("libkvzemu.so"), run.path + "/lib/" KVZ_HOST_MULTIARCH "/libkvzemu.so",
            0755);
  if (o.target == "ppc") {
    make_dirs(run.path + "/lib/powerpc-linux-gnu");
    const std::string ppc_lib = ppc_bin_dir() + "/libkvzemu.so";
    if (!exists(ppc_lib))
      die("no PowerPC emulator library at " + ppc_lib + " (build the ppc preset)");
    copy_file(ppc_lib, run.path + "/lib/powerpc-linux-gnu/libkvzemu.so", 0755);
  }
  make_dirs(run.path + "/duma");
  copy_file(board_library("libduma.so.0.0.0"), run.path + "/duma/libduma.so.0.0.0", 0755);
  for (const char* bus : {"i2c-0", "i2c-1"}) write_text(run.path + "/" + bus, "");
}

bool config_has(const std::string& config, const std::string& line) {
  return ("\n" + config).find("\n" + line + "\n") != std::string::npos;
}

void add(std::vector<std::string>& v, std::initializer_list<std::string> items) {
  v.insert(v.end(), items);
}

std::vector<std::string> sandbox_args(const BootOptions& o, const RunDir& run,
                                      const std::string& launcher, const std::string& serial,
                                      bool new_session, bool make_ctty) {
  const std::string b = o.board;
  const std::string config = read_text(run.path + "/config");
  std::vector<std::string> a = {"bwrap",         "--die-with-parent", "--unshare-pid",
                                "--unshare-ipc", "--unshare-uts",     "--hostname",
                                "kvzswitch",     "--cap-drop",        "ALL"};
  if (new_session) a.push_back("--new-session");
  add(a, {"--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc"});
  for (const char* top : {"lib", "lib32", "lib64", "libx32"}) {
    char target[256];
    const ssize_t n = readlink((std::string("/") + top).c_str(), target, sizeof target - 1);
    if (n > 0)
      add(a, {"--symlink", std::string(target, static_cast<size_t>(n)), std::string("/") + top});
  }
  add(a,
      {"--ro-bind", "/usr/bin", "/kvzsim/host/bin", "--ro-bind", "/usr/sbin", "/kvzsim/host/sbin",
       "--ro-bind", run.path + "/usrbin", "/usr/bin", "--ro-bind", run.path + "/usrsbin",
       "/usr/sbin", "--symlink", "usr/bin", "/bin", "--symlink", "usr/sbin", "/sbin"});
  add(a, {"--proc", "/proc", "--dev", "/dev"});
  for (const char* p : kPartitions)
    add(a, {"--bind", b + "/flash/" + p, std::string("/dev/mtd-") + p});
  add(a, {"--bind", b + "/flash/user", "/dev/mtd-user-char"});
  for (const char* bus : {"0", "1"}) {
    if (!config_has(config, std::string("bus_missing=") + bus))
      add(a, {"--bind", run.path + "/i2c-" + bus, std::string("/dev/i2c-") + bus});
  }
  if (serial != "none") add(a, {"--dev-bind", serial, "/dev/ttyS0"});
  add(a, {"--bind", b + "/tmp", "/tmp", "--bind", b + "/user", "/user"});
  if (o.usb) {
    add(a, {"--bind", b + "/usb", "/mnt/usb"});
  } else {
    add(a, {"--dir", "/mnt/usb"});
  }
  add(a, {"--bind", b, "/kvzsim/board", "--bind", run.path, "/kvzsim/run", "--ro-bind", launcher,
          "/kvzsim/bin/kvzboot", "--chdir", "/"});
  const char* term = getenv("TERM");
  add(a, {"--clearenv",
          "--setenv",
          "PATH",
          "/usr/sbin:/usr/bin:/sbin:/bin",
          "--setenv",
          "HOME",
          "/",
          "--setenv",
          "LC_ALL",
          "C",
          "--setenv",
          "TERM",
          term ? term : "vt100",
          "--setenv",
          "LD_PRELOAD",
          "/kvzsim/run/$LIB/libkvzemu.so",
          "--setenv",
          "LD_LIBRARY_PATH",
          "/kvzsim/run/duma",
          "--setenv",
          "KVZEMU",
          "/kvzsim/run",
          "--setenv",
          "KVZEMU_BOARD",
          "/kvzsim/board",
          "--setenv",
          "KVZEMU_MAIN",
          "/kvzsim/bin/kvzboot"});
  if (o.target == "ppc") add(a, {"--setenv", "QEMU_LD_PREFIX", "/usr/powerpc-linux-gnu"});
  a.push_back("--");
  if (make_ctty) add(a, {"setsid", "-w", "-c"});
  if (o.target == "ppc") a.push_back("qemu-ppc-static");
  a.push_back("/kvzsim/bin/kvzboot");
  a.insert(a.end(), o.launcher_args.begin(), o.launcher_args.end());
  return a;
}

// The platform mounts the stick and announces it with /tmp/usb a little after power-on.
pid_t start_usb_platform(const BootOptions& o) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const double delay = 2.0 / o.time_scale;
  usleep(static_cast<useconds_t>(delay * 1e6));
  write_text(o.board + "/tmp/usb", "");
  _exit(0);
}

// console: the launcher's standard input, output and error when not ours (-1: ours).
int run_sandbox(std::vector<std::string> args, bool ignore_interrupts, int console) {
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  struct sigaction ign = {}, old_int = {}, old_quit = {};
  ign.sa_handler = SIG_IGN;
  if (ignore_interrupts) {
    // The console is our controlling terminal: Ctrl-C reaches the launcher directly, and must
    // not end the board around it.
    sigaction(SIGINT, &ign, &old_int);
    sigaction(SIGQUIT, &ign, &old_quit);
  }
  const pid_t pid = fork();
  if (pid < 0) die("cannot fork");
  if (pid == 0) {
    for (int fd = 0; console >= 0 && fd < 3; fd++) dup2(console, fd);
    execvp("bwrap", argv.data());
    fprintf(stderr, "kvzsim: cannot run bwrap: %s\n", strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (ignore_interrupts) {
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The writes of one kind that the run made, as the emulator counted them ("0" for none).
std::string write_count(const RunDir& run, const char* kind) {
  const std::string path = run.path + "/count-" + kind;
  const std::string text = exists(path) ? read_text(path) : "";
  return text.empty() ? "0" : text.substr(0, text.find('\n'));
}

// The board on a real kernel: no emulator, so no faults but the missing XMODEM receiver it shares.
[[noreturn]] void boot_system(const BootOptions& o) {
  for (const std::string& f : o.faults)
    if (f != "no_rx=1") die("--fault " + f + " needs the emulated board (no --system)");
  if (o.pty || !o.serial.empty()) die("--pty and --serial need the emulated board (no --system)");
  const std::string launcher = o.launcher.empty() ? ppc_bin_dir() + "/kvzboot" : o.launcher;
  const std::string runner = exists(KVZ_SYSTEM_DIR "/boot-system")
                                 ? KVZ_SYSTEM_DIR "/boot-system"
                                 : self_dir() + "/" KVZ_INSTALL_LIB_FROM_BIN "/system/boot-system";
  exit(boot_system_board(runner, o.board, launcher, o.usb, o.launcher_args));
}

int boot(int argc, char** argv) {
  if (argc < 1) {
    fputs(kBootHelp, stderr);
    return kExitOwnError;
  }
  const BootOptions o = parse_boot(argc, argv);
  if (!exists(o.board + "/flash/kernel") || !exists(o.board + "/config"))
    die(o.board + " is not a board directory (make one with kvzsim init)");
  if (o.system) boot_system(o);
  std::string launcher = o.launcher;
  if (launcher.empty())
    launcher = o.target == "ppc" ? ppc_bin_dir() + "/kvzboot"
                                 : our_file("kvzboot", KVZ_INSTALL_LIB_FROM_BIN);
  if (!exists(launcher)) die("no launcher at " + launcher);
  char resolved[4096];
  if (!realpath(launcher.c_str(), resolved)) die("cannot resolve " + launcher);

  empty_dir(o.board + "/tmp");
  RunDir run;
  // The run directory holds a symlink for each host program (some 1,500 of them): on a memory
  // file system when the machine has one with room to spare, where making them takes
  // milliseconds instead of the second or more a journalled disk can take on every boot.
  struct statvfs shm = {};
  const bool roomy = statvfs("/dev/shm", &shm) == 0 && access("/dev/shm", W_OK | X_OK) == 0 &&
                     static_cast<double>(shm.f_bavail) * static_cast<double>(shm.f_frsize) > 256e6;
  const char* base = roomy ? "/dev/shm" : "/tmp";
  remove_stale_run_dirs(base);
  std::string tmpl = std::string(base) + "/kvzsim-run-" + std::to_string(getpid()) + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) die("cannot create a run directory");
  run.path = tmpl;
  prepare_run_dir(run, o);

  PtyConsole pty;
  std::string err;
  if (o.pty && !open_pty_console(&pty, &err)) die(err);
  const int console = pty.launcher_fd;
  // The serial line is the console's own, as on the switch, when the console is a terminal.
  int idle_master = -1;
  std::string serial = o.serial;
  if (serial.empty()) serial = o.pty ? pty.launcher_path : isatty(0) ? ttyname(0) : "";
  if (serial.empty()) serial = open_idle_serial(&idle_master);
  const bool tty = o.pty || isatty(0) != 0;
  const bool own_ctty = !o.pty && tty && tcgetsid(0) == getsid(0);
  const pid_t usb = o.usb ? start_usb_platform(o) : -1;
  const auto args = sandbox_args(o, run, resolved, serial, !own_ctty, tty && !own_ctty);
  const int rc = run_sandbox(args, own_ctty, console);
  if (usb > 0) {
    kill(usb, SIGKILL);
    waitpid(usb, nullptr, 0);
  }
  close_pty_console(&pty);
  if (idle_master >= 0) close(idle_master);
  // What the launcher measured of itself (run time, sleeps, peak memory), for benchmarks, and
  // how its process ended.
  const std::string stats = exists(run.path + "/stats") ? read_text(run.path + "/stats") : "";
  make_dirs(o.board + "/stats");
  write_text(o.board + "/stats/launcher", stats + "exit_status=" + std::to_string(rc) + "\n" +
                                              "flash_writes=" + write_count(run, "flash") + "\n" +
                                              "user_writes=" + write_count(run, "user") + "\n");
  if (rc == 127 && !exists(run.path + "/stats") && !exists(run.path + "/reboot") &&
      !exists(run.path + "/backtrace"))
    die("the sandbox did not start (is bubblewrap installed?)");
  if (exists(run.path + "/powercut")) return kExitOther;
  if (exists(run.path + "/backtrace")) return kExitApplication;
  if (exists(run.path + "/reboot")) return kExitReboot;
  return kExitOther;
}

// ---- init -----------------------------------------------------------------------------------

int init(int argc, char** argv) {
  if (argc < 1) {
    fputs(kInitHelp, stderr);
    return kExitOwnError;
  }
  InitOptions o;
  o.board = argv[0];
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--blank") {
      o.blank = true;
    } else if (a == "--erase-size" && i + 1 < argc) {
      char* end = nullptr;
      o.erase_size = strtoul(argv[++i], &end, 0);
      if (!end || *end) die("--erase-size needs a number of bytes");
    } else {
      fputs(kInitHelp, stderr);
      die("unknown init option " + a);
    }
  }
  o.kvzimage = self_dir() + "/kvzimage";
  std::string err;
  if (!make_board(o, &err)) die(err);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage();
    return kExitOwnError;
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h") {
    usage(stdout);
    return 0;
  }
  if (cmd == "--version") {
    printf("kvzsim %s\n", KVZ_VERSION);
    return 0;
  }
  const struct {
    const char* name;
    const char* help;
  } helps[] = {{"init", kInitHelp}, {"boot", kBootHelp}, {"vpd", kVpdHelp}, {"env", kEnvHelp}};
  for (const auto& h : helps) {
    if (cmd == h.name && argc >= 3 && (!strcmp(argv[2], "--help") || !strcmp(argv[2], "-h"))) {
      fputs(h.help, stdout);
      return 0;
    }
  }
  if (cmd == "init") return init(argc - 2, argv + 2);
  if (cmd == "boot") return boot(argc - 2, argv + 2);
  if ((cmd == "vpd" || cmd == "env") && argc >= 3) {
    if (!exists(std::string(argv[2]) + "/config")) die(std::string(argv[2]) + " is not a board");
    const std::vector<std::string> args(argv + 3, argv + argc);
    try {
      return cmd == "vpd" ? vpd_command(argv[2], args) : env_command(argv[2], args);
    } catch (...) {
      die("cannot write the board's settings");
    }
  }
  usage();
  return kExitOwnError;
}
