#include "sim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kvzsim {

namespace fs = std::filesystem;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

// Runs argv in place of this (child) process, its standard input and output (and error, unless
// err is -1) taken from the descriptors given; exits with 127 when it cannot.
[[noreturn]] void exec_argv(const Lines& argv, int in, int out, int err) {
  dup2(in, 0);
  dup2(out, 1);
  dup2(err < 0 ? out : err, 2);
  std::vector<char*> a;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  execvp(a[0], a.data());
  _exit(127);
}

int open_pty(std::string* slave_name) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY);
  check(m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0, "no pty");
  *slave_name = ptsname(m);
  fcntl(m, F_SETFD, FD_CLOEXEC);
  return m;
}

// Appends what is available on fd; false at end of file.
bool drain(int fd, std::string* into) {
  char buf[65536];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) into->append(buf, static_cast<size_t>(n));
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

void write_all(int fd, const char* data, size_t n) {
  for (ssize_t w; n > 0; data += w, n -= static_cast<size_t>(w)) {
    w = write(fd, data, n);
    if (w < 0 && errno == EINTR) w = 0;
    check(w >= 0, "write failed");
  }
}

// In memory when the machine has room for boards of 33 MB, two tests at a time.
std::string temp_dir(const std::string& name) {
  struct statvfs shm = {};
  const bool roomy = statvfs("/dev/shm", &shm) == 0 && access("/dev/shm", W_OK) == 0 &&
                     static_cast<double>(shm.f_bavail) * static_cast<double>(shm.f_frsize) > 2e9;
  std::string path = (roomy ? "/dev/shm/" : "/tmp/") + name + "-XXXXXX";
  check(mkdtemp(path.data()) != nullptr, "mkdtemp failed");
  return path;
}

// A scratch directory removed again when the object goes.
struct ScratchDir {
  const std::string path = temp_dir("kvzsim-stage");
  ~ScratchDir() { fs::remove_all(path); }
};

// Waits up to `seconds` for a child; its exit status, or -1 when it had to be killed.
int reap(pid_t pid, double seconds, const std::function<void()>& meanwhile) {
  for (const double end = now() + seconds; now() < end; meanwhile()) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Runs a host program that must succeed; returns its standard output and error.
std::string must_run(const Lines& argv) {
  int p[2];
  check(pipe(p) == 0, "pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    exec_argv(argv, 0, p[1], -1);
  }
  close(p[1]);
  std::string text;
  while (drain(p[0], &text)) {
  }
  close(p[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  check(WIFEXITED(st) && WEXITSTATUS(st) == 0, argv[0] + " failed: " + text);
  return text;
}

}  // namespace

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& path, const Bytes& data, long at) {
  std::fstream f(path,
                 std::ios::binary | std::ios::out | (at < 0 ? std::ios::trunc : std::ios::in));
  f.seekp(std::max(at, 0L));
  check(!!f.write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size())),
        "cannot write " + path);
}

Lines lines_of(const std::string& text) {
  Lines out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<Target> targets() {
  return *KVZ_PPC_BIN_DIR ? std::vector{Target::kHost, Target::kPpc} : std::vector{Target::kHost};
}

Board::Board(const Lines& init_args) : dir_(temp_dir("kvzsim-test")) {
  Lines argv = {bin_for(Target::kHost) + "/kvzsim", "init", dir_};
  argv.insert(argv.end(), init_args.begin(), init_args.end());
  must_run(argv);
}

Board::~Board() {
  if (!getenv("KVZSIM_KEEP")) fs::remove_all(dir_);
}

std::vector<uint32_t> Board::erase_counts(const std::string& part) const {
  std::vector<uint32_t> counts;
  for (const std::string& l : lines_of(text("stats/erase-" + part)))
    counts.push_back(static_cast<uint32_t>(std::stoul(l)));
  if (counts.empty()) counts.assign(read("flash/" + part).size() / 65536, 0);
  return counts;
}

int Board::exit_status() const {
  for (const std::string& l : lines_of(text("stats/launcher")))
    if (l.rfind("exit_status=", 0) == 0) return std::stoi(l.substr(12));
  return -1;
}

void Board::clear_logs() const {
  write_text("commands.log", "");
  write_text("i2c.log", "");
  remove("stats");
  fs::create_directory(path("stats"));
}

void Board::set_env(const Lines& vars, size_t size) const {
  std::string body;
  for (const std::string& v : vars) body += v + "\n";
  write_text("tmp/env.txt", body);
  must_run({"mkenvimage", "-b", "-s", std::to_string(size), "-o", path("tmp/env.bin"),
            path("tmp/env.txt")});
  patch("flash/ubootenv", 0, read("tmp/env.bin"));
}

Console::Console(const Board& board, Target target, const Lines& extra, double time_scale,
                 const std::string& stdin_path) {
  std::string console_slave, serial_slave;
  if (stdin_path.empty()) console_master_ = open_pty(&console_slave);
  serial_master_ = open_pty(&serial_slave);
  // Hold the serial line's far end open, so that the test side never sees a hang-up while the
  // launcher has not opened it yet.
  serial_slave_ = open(serial_slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios raw;
  tcgetattr(serial_master_, &raw);
  cfmakeraw(&raw);
  tcsetattr(serial_master_, TCSANOW, &raw);
  int out[2], err[2];
  check(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0, "pipe failed");
  std::ostringstream scale;
  scale << time_scale;
  // clang-format off
  Lines argv = {bin_for(Target::kHost) + "/kvzsim", "boot", board.dir(), "--target",
                target_name(target), "--time-scale", scale.str(), "--serial", serial_slave};
  // clang-format on
  argv.insert(argv.end(), extra.begin(), extra.end());
  pid_ = fork();
  if (pid_ == 0) {
    // A session of its own, with the console pty as standard input but not as controlling
    // terminal: kvzsim then makes it the launcher's controlling terminal.
    setsid();
    exec_argv(argv,
              stdin_path.empty() ? open(console_slave.c_str(), O_RDWR | O_NOCTTY)
                                 : open(stdin_path.c_str(), O_RDONLY),
              out[1], err[1]);
  }
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  for (int fd : {out_fd_, err_fd_, console_master_, serial_master_})
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

Console::~Console() {
  if (!done_ && pid_ > 0) reap(pid_, 0, [] {});
  for (int fd : {out_fd_, err_fd_, console_master_, serial_master_, serial_slave_})
    if (fd >= 0) close(fd);
}

void Console::pump(int timeout_ms) {
  struct pollfd p[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {console_master_, POLLIN, 0}};
  if (poll(p, 3, timeout_ms) <= 0) return;
  int* fds[2] = {&out_fd_, &err_fd_};
  std::string* bufs[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (*fds[i] >= 0 && p[i].revents && !drain(*fds[i], bufs[i])) {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
  if (p[2].revents & POLLIN) drain(console_master_, &echo_);
}

bool Console::wait_for(const std::string& text, double seconds) {
  for (const double end = now() + seconds;; pump(20)) {
    const size_t at = out_.find(text, out_seen_);
    if (at != std::string::npos) {
      out_seen_ = at + text.size();
      return true;
    }
    if (now() > end || (out_fd_ < 0 && err_fd_ < 0)) return false;
  }
}

void Console::send(const std::string& keys) {
  check(console_master_ >= 0, "this boot has no console terminal");
  write_all(console_master_, keys.data(), keys.size());
}

Boot Console::finish(double seconds) {
  if (!done_) status_ = reap(pid_, seconds, [this] { pump(20); });
  done_ = true;
  // The sandbox is gone with kvzsim; read what is left in the pipes.
  for (const double end = now() + 5; (out_fd_ >= 0 || err_fd_ >= 0) && now() < end;) pump(20);
  pump(0);
  return Boot{status_, out_, err_, echo_};
}

int Console::send_xmodem(const std::string& file, double seconds, const char* option) {
  int to_sx[2], from_sx[2];
  if (pipe(to_sx) != 0 || pipe(from_sx) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) exec_argv({"sx", option, file}, to_sx[0], from_sx[1], open("/dev/null", O_WRONLY));
  close(to_sx[0]);
  close(from_sx[1]);
  fcntl(from_sx[0], F_SETFL, O_NONBLOCK);
  // Relays between sx and the test's end of the serial line until sx ends.
  const int status = reap(pid, seconds, [&] {
    struct pollfd p[2] = {{from_sx[0], POLLIN, 0}, {serial_master_, POLLIN, 0}};
    poll(p, 2, 20);
    char buf[1100];
    ssize_t n;
    if (p[0].revents && (n = read(from_sx[0], buf, sizeof buf)) > 0)
      write_all(serial_master_, buf, static_cast<size_t>(n));
    if ((p[1].revents & POLLIN) && (n = read(serial_master_, buf, 256)) > 0)
      write_all(to_sx[1], buf, static_cast<size_t>(n));
    pump(0);
  });
  close(to_sx[1]);
  close(from_sx[0]);
  return status;
}

Boot run_script(const Board& board, Target target, const std::string& program,
                const std::string& script, Lines extra, double time_scale) {
  extra.insert(extra.begin(), {"--launcher", bin_for(target) + "/" + program});
  Console c(board, target, extra, time_scale);
  c.send(script + "\x04");
  return c.finish();
}

Boot run_storage(const Board& board, Target target, const std::string& script,
                 const Lines& faults) {
  Lines extra;
  for (const std::string& f : faults) extra.insert(extra.end(), {"--fault", f});
  return run_script(board, target, "kvzsim_storage", script, extra);
}

Boot boot(const Board& board, Target target, const Lines& extra, double time_scale) {
  return Console(board, target, extra, time_scale).finish();
}

namespace {

std::string undotted(std::string out) {
  const size_t ready = out.find("USB mounted and ready!");
  size_t dots = ready;
  while (dots != std::string::npos && dots > 0 && out[dots - 1] == '.') --dots;
  if (ready != std::string::npos) out.erase(dots, ready - dots);
  return out;
}

void run_on(const Board& board, const Scenario& s, Target target) {
  SCOPED_TRACE(s.what);
  if (s.setup) s.setup(board);
  Console c(board, target, s.options, s.time_scale, s.closed_console ? "/dev/null" : "");
  for (const Exchange& step : s.dialog) {
    EXPECT_TRUE(c.wait_for(step.prompt)) << step.prompt;
    usleep(800000);  // the launcher is waiting in its read by now
    if (step.via == Exchange::kConsole) c.send(step.keys);
    if (step.via == Exchange::kSerial) write_all(c.serial_fd(), step.keys.data(), step.keys.size());
    const int sx = step.via == Exchange::kXmodem ? c.send_xmodem(board.path(step.keys)) : 0;
    EXPECT_EQ(sx, 0) << "sx " << step.keys;
    if (step.via == Exchange::kTmpImage) board.write_text("tmp/image", step.keys);
  }
  const Boot got = c.finish();
  EXPECT_EQ(got.status, s.want.status);
  EXPECT_EQ(undotted(got.out), s.want.out);
  EXPECT_EQ(got.err, s.want.err);
  EXPECT_EQ(board.commands(), s.want.commands);
  EXPECT_EQ(got.echo, s.want.echo);
  if (s.check) s.check(board);
}

}  // namespace

void run_scenario(const Scenario& s, Target target) {
  run_on(Board(), s, target);
}

void run_story(const Board& board, const std::vector<Scenario>& story, Target target) {
  for (const Scenario& s : story) {
    board.clear_logs();
    run_on(board, s, target);
  }
}

namespace {

// Files starting with "#!" are executable.
Bytes make_archive(const ArchiveFiles& files) {
  ScratchDir dir;
  const std::string stage = dir.path + "/stage/";
  for (const auto& [rel, content] : files) {
    fs::create_directories(fs::path(stage + rel).parent_path());
    write_file(stage + rel, Bytes(content.begin(), content.end()));
    if (content.rfind("#!", 0) == 0) fs::permissions(stage + rel, fs::perms(0755));
  }
  must_run({"tar", "-czf", dir.path + "/archive.tgz", "--owner=0", "--group=0", "--numeric-owner",
            "--mtime=@0", "--sort=name", "-C", stage, "."});
  return read_file(dir.path + "/archive.tgz");
}

std::string sample_script(const std::string& says) {
  return "#!/bin/sh\necho \"" + says.substr(0, says.size() - 1) + "\"\n";
}

}  // namespace

Bytes app_archive(const std::string& version, bool with_distro_id, const ArchiveFiles& more) {
  ArchiveFiles files = more;
  files.push_back({"home/bin/mp.elf.strip", sample_script(app_says(version))});
  if (with_distro_id) files.push_back({"home/bin/distro-id", "kvzsample 1\n"});
  return make_archive(files);
}

Bytes diags_archive(const std::string& version) {
  return make_archive({{"home/bin/distro-id", "kvzsample 1\n"},
                       {"mpdiag.elf.strip", sample_script(diags_says(version))}});
}

Bytes gzip_bytes(const Bytes& data) {
  ScratchDir dir;
  write_file(dir.path + "/data", data);
  must_run({"gzip", "-n", dir.path + "/data"});
  return read_file(dir.path + "/data.gz");
}

std::string md5_hex(const Bytes& bytes) {
  ScratchDir dir;
  write_file(dir.path + "/data", bytes);
  return must_run({"md5sum", dir.path + "/data"}).substr(0, 32);
}

}  // namespace kvzsim
