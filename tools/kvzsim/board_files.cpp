#include "board_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct BoardError {
  std::string text;
};

[[noreturn]] void fail(const std::string& text) {
  throw BoardError{text};
}

}  // namespace

std::vector<uint8_t> read_whole(const std::string& path) {
  std::vector<uint8_t> data;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  fclose(f);
  return data;
}

void write_whole(const std::string& path, const std::vector<uint8_t>& data, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) fail("cannot write " + path + ": " + strerror(errno));
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      close(fd);
      fail("cannot write " + path + ": " + strerror(errno));
    }
    done += static_cast<size_t>(n);
  }
  fchmod(fd, mode);
  close(fd);
}

std::string read_text(const std::string& path) {
  const auto d = read_whole(path);
  return std::string(d.begin(), d.end());
}

void write_text(const std::string& path, const std::string& text, mode_t mode) {
  write_whole(path, std::vector<uint8_t>(text.begin(), text.end()), mode);
}

void make_dirs(const std::string& path) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      fail("cannot create " + part + ": " + strerror(errno));
  }
}

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

void remove_tree(const std::string& path) {
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void empty_dir(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) {
    make_dirs(path);
    return;
  }
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") remove_tree(path + "/" + name);
  }
  closedir(d);
}

// ---- Platform stubs -------------------------------------------------------------------------

namespace {

struct Stub {
  const char* name;
  bool sbin;
  const char* script;
};

const Stub kStubs[] = {
    {"backtrace", false,
     "# Application starter: runs the unpacked application in place of the launcher.\n"
     ": > /kvzsim/run/backtrace\n"
     "app=/tmp/home/bin/mp.elf.strip\n"
     "if [ -f \"$app\" ]; then exec \"$app\"; fi\n"
     "echo \"backtrace: no application at $app\" >&2\n"
     "exit 1\n"},
    {"reboot", true,
     "# Power-cycles the board: the run ends when the launcher exits.\n"
     ": > /kvzsim/run/reboot\n"},
    {"mount", false, "# /user and the USB stick are mounted by the board itself.\nexit 0\n"},
    {"umount", false, "exit 0\n"},
    {"gdbserver", false,
     "# No debugger attaches on the virtual board: report the port and end.\n"
     "echo \"gdbserver: $2 waiting for a debugger on port ${1#:}\"\n"},
    {"flash_eraseall", true,
     "# Erases a whole MTD partition, showing its progress as BusyBox's does; erasing the /user\n"
     "# partition empties /user.\n"
     "dev=\"$1\"\n"
     "size=$(stat -c %s \"$dev\") || exit 1\n"
     "block=$(($(sed -n 's/^erase_size=//p' /kvzsim/board/config | tail -n 1)))\n"
     "[ \"$block\" -gt 0 ] || block=$size\n"
     "at=0\n"
     "while [ $at -lt $size ]; do\n"
     "  printf '\\rErasing %u Kibyte @ %x - %2u%% complete.' $((block / 1024)) $at $((at * 100 / size))\n"
     "  at=$((at + block))\n"
     "done\n"
     "printf '\\rErasing %u Kibyte @ %x - 100%% complete.\\n' $((block / 1024)) $size\n"
     "head -c \"$size\" /dev/zero | tr '\\000' '\\377' | dd of=\"$dev\" conv=notrunc status=none\n"
     "if [ \"$dev\" = /dev/mtd-user-char ]; then find /user -mindepth 1 -delete; fi\n"},
    {"rx", false,
     "# XMODEM receiver on the serial line /dev/ttyS0 (on the switch the console's own line).\n"
     "# Its answers pass through a pipe: on exit lrzsz flushes its terminal, which on a\n"
     "# pseudo-terminal would discard the last answer before the sender has read it.\n"
     "set -o pipefail\n"
     "/kvzsim/host/bin/rx -U \"$@\" < /dev/ttyS0 2>/dev/null | cat > /dev/ttyS0\n"},
    {"dhclient", false, "exit 0\n"},  // /bin/dhclient, as on the switch
    {"ifconfig", true, "exit 0\n"},
    {"route", true, "exit 0\n"},
};

}  // namespace

bool is_stubbed_program(const std::string& name) {
  if (name == "sh") return true;
  for (const Stub& s : kStubs)
    if (name == s.name) return true;
  return false;
}

void write_stubs(const std::string& usr_bin, const std::string& usr_sbin,
                 const std::string& config) {
  // The switch's shell is BusyBox ash; it differs from dash where the launcher's command lines
  // rely on it ("&>" redirects instead of sending the command to the background).
  if (symlink("/kvzsim/host/bin/busybox", (usr_bin + "/sh").c_str()) != 0)
    throw BoardError{"cannot link the shell"};
  for (const Stub& s : kStubs) {
    if (("\n" + config).find("\nno_" + std::string(s.name) + "=1\n") != std::string::npos) continue;
    const std::string path = (s.sbin ? usr_sbin : usr_bin) + "/" + s.name;
    write_text(path, std::string("#!/bin/sh\n") + s.script, 0755);
  }
}

// ---- Demo content ---------------------------------------------------------------------------

namespace {

void run_program(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("command failed: " + args[0]);
}

// A gzip'd tar archive of the files given, owned by root so that tar can restore them
// without privileges.
void make_archive(const std::string& stage, const std::string& out,
                  const std::vector<std::pair<std::string, std::string>>& files) {
  remove_tree(stage);
  for (const auto& [path, content] : files) {
    const std::string full = stage + "/" + path;
    make_dirs(full.substr(0, full.rfind('/')));
    write_text(full, content, content.rfind("#!", 0) == 0 ? 0755 : 0644);
  }
  run_program({"tar", "-czf", out, "--owner=0", "--group=0", "--numeric-owner", "--mtime=@0",
               "--sort=name", "-C", stage, "."});
}

std::string app_script(const char* what, const char* version) {
  return std::string("#!/bin/sh\necho \"kvzsample: ") + what + " " + version + " is running\"\n";
}

std::vector<uint8_t> filler(size_t n, uint32_t seed) {
  std::vector<uint8_t> b(n);
  for (auto& v : b) {
    seed = seed * 1103515245u + 12345u;
    v = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

void write_at(const std::string& path, size_t offset, const std::vector<uint8_t>& data) {
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0 || pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                    static_cast<ssize_t>(data.size()))
    fail("cannot write " + path);
  close(fd);
}

void make_demo_content(const InitOptions& o, const std::string& work) {
  const std::string& b = o.board;
  const std::string distro = "kvzsample 1\n";
  make_dirs(b + "/user/images");
  struct Slot {
    const char* file;
    const char* version;
  };
  for (const Slot& s : {Slot{"image1", "1.1.0.0"}, Slot{"image2", "1.0.0.0"}}) {
    const std::string tgz = work + "/" + s.file + ".tgz";
    make_archive(work + "/stage", tgz,
                 {{"home/bin/distro-id", distro},
                  {"home/bin/mp.elf.strip", app_script("application", s.version)}});
    run_program({o.kvzimage, "create", b + "/user/images/" + s.file,
                 std::string("app:") + s.version + ":" + tgz});
  }
  const std::string diag_tgz = work + "/diags.tgz";
  make_archive(
      work + "/stage", diag_tgz,
      {{"home/bin/distro-id", distro}, {"mpdiag.elf.strip", app_script("diagnostics", "1.0.0.0")}});
  struct FlashRecord {
    const char* part;
    const char* type;
    size_t size;
  };
  for (const FlashRecord& r :
       {FlashRecord{"kernel", "kernel", 96 * 1024}, FlashRecord{"rfs", "rfs", 192 * 1024},
        FlashRecord{"devicetree", "dtb", 6 * 1024}, FlashRecord{"uboot", "uboot", 40 * 1024}}) {
    const std::string payload = work + "/" + r.part + ".bin";
    write_whole(payload, filler(r.size, static_cast<uint32_t>(r.size)));
    const std::string rec = work + "/" + r.part + ".img";
    run_program({o.kvzimage, "create", rec, std::string(r.type) + ":1.0.0.0:" + payload});
    if (std::string(r.part) == "uboot") {
      // The boot-loader partition holds the payload alone, with its header copy inside.
      run_program({o.kvzimage, "extract", rec, "1", rec + ".payload"});
      write_at(b + "/flash/uboot", 0, read_whole(rec + ".payload"));
    } else {
      write_at(b + "/flash/" + r.part, 0, read_whole(rec));
    }
  }
  const std::string diag = work + "/diags.img";
  run_program({o.kvzimage, "create", diag, "diags:1.0.0.0:" + diag_tgz});
  write_at(b + "/flash/rescue", 0, read_whole(diag));
}

struct PartitionSize {
  const char* name;
  unsigned long bytes;
};
constexpr PartitionSize kSizes[] = {{"uboot", 512ul << 10},      {"ubootenv", 64ul << 10},
                                    {"devicetree", 256ul << 10}, {"kernel", 3ul << 20},
                                    {"rfs", 15ul << 20},         {"rescue", 10ul << 20},
                                    {"user", 4ul << 20}};

bool is_power_of_two(unsigned long v) {
  return v && !(v & (v - 1));
}

void make_layout(const InitOptions& o) {
  const std::string& b = o.board;
  for (const char* d : {"flash", "eeprom", "user", "usb", "tmp", "stats"}) make_dirs(b + "/" + d);
  for (const PartitionSize& p : kSizes) {
    unsigned long size = p.bytes;
    // Partitions span whole erase blocks when the erase size is a sane one.
    if (is_power_of_two(o.erase_size))
      size = (size + o.erase_size - 1) / o.erase_size * o.erase_size;
    write_whole(b + "/flash/" + p.name, std::vector<uint8_t>(size, 0xFF));
  }
  write_text(b + "/config", "erase_size=" + std::to_string(o.erase_size) + "\n");
  write_text(b + "/commands.log", "");
  write_text(b + "/i2c.log", "");
  std::vector<uint8_t> vpd(8192, 0xFF);
  if (!o.blank) {
    vpd[256] = 1;  // selected image slot 1
    vpd[315] = 0;  // USB boot off
  }
  write_whole(b + "/eeprom/vpd.bin", vpd);
  std::vector<uint8_t> regs(256, 0x00);
  regs[4] = 0x0C;
  write_whole(b + "/eeprom/regs.bin", regs);
}

bool dir_is_empty_or_missing(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) return true;
  bool empty = true;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) empty = false;
  }
  closedir(d);
  return empty;
}

}  // namespace

bool make_board(const InitOptions& o, std::string* err) {
  if (!dir_is_empty_or_missing(o.board)) {
    *err = o.board + " already exists and is not empty";
    return false;
  }
  char tmpl[] = "/tmp/kvzsim-init-XXXXXX";
  std::string work;
  try {
    make_dirs(o.board);
    make_layout(o);
    if (!o.blank) {
      if (!mkdtemp(tmpl)) fail("cannot create a work directory");
      work = tmpl;
      make_demo_content(o, work);
    }
  } catch (const BoardError& e) {
    *err = e.text;
    if (!work.empty()) remove_tree(work);
    return false;
  }
  if (!work.empty()) remove_tree(work);
  return true;
}
