#include "sim.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace kvzsim {

namespace {

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int remove_entry(const char* p, const struct stat*, int, struct FTW*) {
  ::remove(p);
  return 0;
}

// Runs argv in place of this (child) process; exits with 127 when it cannot.
[[noreturn]] void exec_argv(const std::vector<std::string>& argv) {
  std::vector<char*> a;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  execvp(a[0], a.data());
  _exit(127);
}

// Reads a whole file into *data; false when it cannot be opened.
bool slurp(const std::string& path, Bytes* data) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) data->insert(data->end(), buf, buf + n);
  close(fd);
  return true;
}

int open_pty(std::string* slave_name) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) throw std::runtime_error("no pty");
  *slave_name = ptsname(m);
  fcntl(m, F_SETFD, FD_CLOEXEC);
  return m;
}

// Reads what is available from fd into *into; false at end of file.
bool drain(int fd, std::string* into) {
  char buf[65536];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    into->append(buf, static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EAGAIN || errno == EINTR);
}

void write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw std::runtime_error("write failed");
    data += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

const char* target_name(Target t) {
  return t == Target::kHost ? "host" : "ppc";
}

std::vector<Target> targets() {
  std::vector<Target> t = {Target::kHost};
  if (std::string(KVZ_PPC_BIN_DIR).size() > 0) t.push_back(Target::kPpc);
  return t;
}

std::string host_bin() {
  return KVZ_HOST_BIN_DIR;
}
std::string bin_for(Target t) {
  return t == Target::kHost ? KVZ_HOST_BIN_DIR : KVZ_PPC_BIN_DIR;
}

int run_program(const std::vector<std::string>& argv, std::string* out) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    exec_argv(argv);
  }
  close(pipefd[1]);
  std::string text;
  while (true) {
    char buf[4096];
    const ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Board ----------------------------------------------------------------------------------

Board::Board(const std::vector<std::string>& init_args) {
  char tmpl[] = "/tmp/kvzsim-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  std::vector<std::string> argv = {host_bin() + "/kvzsim", "init", dir_};
  argv.insert(argv.end(), init_args.begin(), init_args.end());
  std::string out;
  if (run_program(argv, &out) != 0) throw std::runtime_error("kvzsim init failed: " + out);
}

Board::~Board() {
  if (!getenv("KVZSIM_KEEP")) nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Board::exists(const std::string& rel) const {
  struct stat st;
  return lstat(path(rel).c_str(), &st) == 0;
}

Bytes Board::read(const std::string& rel) const {
  Bytes data;
  slurp(path(rel), &data);  // a missing file reads as empty
  return data;
}

std::string Board::text(const std::string& rel) const {
  const Bytes b = read(rel);
  return std::string(b.begin(), b.end());
}

void Board::write(const std::string& rel, const Bytes& data) const {
  FILE* f = fopen(path(rel).c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + rel);
  if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

void Board::write_text(const std::string& rel, const std::string& text) const {
  write(rel, Bytes(text.begin(), text.end()));
}

void Board::remove(const std::string& rel) const {
  nftw(path(rel).c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void Board::patch(const std::string& rel, size_t offset, const Bytes& data) const {
  const int fd = open(path(rel).c_str(), O_WRONLY);
  if (fd < 0 || pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                    static_cast<ssize_t>(data.size()))
    throw std::runtime_error("cannot patch " + rel);
  close(fd);
}

uint8_t Board::vpd(size_t offset) const {
  return read("eeprom/vpd.bin").at(offset);
}

void Board::set_vpd(size_t offset, uint8_t value) const {
  patch("eeprom/vpd.bin", offset, {value});
}

std::vector<std::string> Board::commands() const {
  return lines_of(text("commands.log"));
}

std::vector<std::string> Board::i2c_log() const {
  return lines_of(text("i2c.log"));
}

std::vector<uint32_t> Board::erase_counts(const std::string& part) const {
  std::vector<uint32_t> counts;
  const size_t blocks = read("flash/" + part).size() / 65536;
  for (const std::string& l : lines_of(text("stats/erase-" + part)))
    counts.push_back(static_cast<uint32_t>(std::stoul(l)));
  if (counts.empty()) counts.assign(blocks, 0);
  return counts;
}

void Board::clear_logs() const {
  write_text("commands.log", "");
  write_text("i2c.log", "");
  remove("stats");
  mkdir(path("stats").c_str(), 0755);
}

void Board::configure(const std::string& line) const {
  write_text("config", text("config") + line + "\n");
}

void Board::set_env(const std::vector<std::string>& vars, size_t size) const {
  const std::string env_txt = path("tmp/env.txt");
  std::string body;
  for (const std::string& v : vars) body += v + "\n";
  write_text("tmp/env.txt", body);
  std::string out;
  if (run_program(
          {"mkenvimage", "-b", "-s", std::to_string(size), "-o", path("tmp/env.bin"), env_txt},
          &out) != 0)
    throw std::runtime_error("mkenvimage failed: " + out);
  Bytes env = read("tmp/env.bin");
  Bytes part = read("flash/ubootenv");
  std::copy(env.begin(), env.end(), part.begin());
  write("flash/ubootenv", part);
}

void Board::make_bundle(const std::string& rel, const std::vector<std::string>& specs) const {
  std::vector<std::string> argv = {host_bin() + "/kvzimage", "create", path(rel)};
  argv.insert(argv.end(), specs.begin(), specs.end());
  std::string out;
  if (run_program(argv, &out) != 0) throw std::runtime_error("kvzimage failed: " + out);
}

// ---- Console --------------------------------------------------------------------------------

// Starts kvzsim with the console pty as standard input, or with the file at stdin_path.
Console::Console(const Board& board, Target target, const std::vector<std::string>& extra,
                 double time_scale, const std::string& stdin_path) {
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
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  char scale[32];
  snprintf(scale, sizeof scale, "%g", time_scale);
  std::vector<std::string> argv = {
      host_bin() + "/kvzsim", "boot", board.dir(), "--target",  target_name(target),
      "--time-scale",         scale,  "--serial",  serial_slave};
  argv.insert(argv.end(), extra.begin(), extra.end());
  pid_ = fork();
  if (pid_ == 0) {
    // A session of its own, with the console pty as standard input but not as controlling
    // terminal: kvzsim then makes it the launcher's controlling terminal.
    setsid();
    const int in = stdin_path.empty() ? open(console_slave.c_str(), O_RDWR | O_NOCTTY)
                                      : open(stdin_path.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    exec_argv(argv);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  for (int fd : {out_fd_, err_fd_, console_master_, serial_master_})
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

Console::~Console() {
  if (!done_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_fd_, err_fd_, console_master_, serial_master_, serial_slave_})
    if (fd >= 0) close(fd);
}

void Console::pump(int timeout_ms) {
  struct pollfd p[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {console_master_, POLLIN, 0}};
  if (poll(p, 3, timeout_ms) <= 0) return;
  if (out_fd_ >= 0 && p[0].revents && !drain(out_fd_, &out_)) {
    close(out_fd_);
    out_fd_ = -1;
  }
  if (err_fd_ >= 0 && p[1].revents && !drain(err_fd_, &err_)) {
    close(err_fd_);
    err_fd_ = -1;
  }
  if (p[2].revents & POLLIN) drain(console_master_, &echo_);
}

bool Console::wait_in(const std::string& text, const std::string& which, size_t* from,
                      double seconds) {
  const double end = now() + seconds;
  const std::string& buf = which == "out" ? out_ : err_;
  while (true) {
    const size_t at = buf.find(text, *from);
    if (at != std::string::npos) {
      *from = at + text.size();
      return true;
    }
    if (now() > end || (out_fd_ < 0 && err_fd_ < 0)) return false;
    pump(20);
  }
}

bool Console::wait_for(const std::string& text, double seconds) {
  return wait_in(text, "out", &out_seen_, seconds);
}

bool Console::wait_for_err(const std::string& text, double seconds) {
  return wait_in(text, "err", &err_seen_, seconds);
}

void Console::send(const std::string& keys) {
  if (console_master_ < 0) throw std::runtime_error("this boot has no console terminal");
  write_all(console_master_, keys.data(), keys.size());
}

Boot Console::finish(double seconds) {
  const double end = now() + seconds;
  while (!done_) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      done_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (now() > end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      done_ = true;
      status_ = -1;
      break;
    }
    pump(20);
  }
  // The sandbox is gone with kvzsim; read what is left in the pipes.
  const double drain_end = now() + 5;
  while ((out_fd_ >= 0 || err_fd_ >= 0) && now() < drain_end) pump(20);
  Boot b;
  b.status = status_;
  b.out = out_;
  b.err = err_;
  return b;
}

int Console::send_xmodem(const std::string& file, double seconds, const char* option) {
  int to_sx[2], from_sx[2];
  if (pipe(to_sx) != 0 || pipe(from_sx) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(to_sx[0], 0);
    dup2(from_sx[1], 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execlp("sx", "sx", option, file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_sx[0]);
  close(from_sx[1]);
  fcntl(from_sx[0], F_SETFL, O_NONBLOCK);
  const double end = now() + seconds;
  int status = -1;
  while (now() < end) {
    struct pollfd p[2] = {{from_sx[0], POLLIN, 0}, {serial_master_, POLLIN, 0}};
    poll(p, 2, 20);
    if (p[0].revents) {
      char buf[1100];
      const ssize_t n = read(from_sx[0], buf, sizeof buf);
      if (n > 0) write_all(serial_master_, buf, static_cast<size_t>(n));
    }
    if (p[1].revents & POLLIN) {
      char buf[256];
      const ssize_t n = read(serial_master_, buf, sizeof buf);
      if (n > 0) write_all(to_sx[1], buf, static_cast<size_t>(n));
    }
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      break;
    }
    pump(0);
  }
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(to_sx[1]);
  close(from_sx[0]);
  return status;
}

Boot run_script(const Board& board, Target target, const std::string& program,
                const std::string& script, std::vector<std::string> extra, double time_scale) {
  extra.insert(extra.begin(), {"--launcher", bin_for(target) + "/" + program});
  Console c(board, target, extra, time_scale);
  c.send(script);
  c.send("\x04");
  return c.finish();
}

Boot boot(const Board& board, Target target, const std::vector<std::string>& extra,
          double time_scale) {
  Console c(board, target, extra, time_scale);
  return c.finish();
}

Boot boot_closed_console(const Board& board, Target target, const std::vector<std::string>& extra,
                         double time_scale, double seconds) {
  Console c(board, target, extra, time_scale, "/dev/null");
  return c.finish(seconds);
}

// ---- Payloads -------------------------------------------------------------------------------

namespace {

// A scratch directory removed again when the object goes.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/kvzsim-stage-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
  }
  ~ScratchDir() { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
};

void write_file(const std::string& path, const Bytes& data, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  write_all(fd, reinterpret_cast<const char*>(data.data()), data.size());
  fchmod(fd, mode);
  close(fd);
}

Bytes read_file(const std::string& path) {
  Bytes data;
  if (!slurp(path, &data)) throw std::runtime_error("cannot read " + path);
  return data;
}

void make_parent_dirs(const std::string& root, const std::string& rel) {
  for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1))
    mkdir((root + "/" + rel.substr(0, slash)).c_str(), 0755);
}

std::string sample_script(const std::string& says) {
  return "#!/bin/sh\necho \"" + says.substr(0, says.size() - 1) + "\"\n";
}

}  // namespace

Bytes make_archive(const ArchiveFiles& files) {
  ScratchDir dir;
  const std::string stage = dir.path + "/stage";
  mkdir(stage.c_str(), 0755);
  for (const auto& [rel, content] : files) {
    make_parent_dirs(stage, rel);
    write_file(stage + "/" + rel, Bytes(content.begin(), content.end()),
               content.rfind("#!", 0) == 0 ? 0755 : 0644);
  }
  const std::string out = dir.path + "/archive.tgz";
  std::string log;
  if (run_program({"tar", "-czf", out, "--owner=0", "--group=0", "--numeric-owner", "--mtime=@0",
                   "--sort=name", "-C", stage, "."},
                  &log) != 0)
    throw std::runtime_error("tar failed: " + log);
  return read_file(out);
}

std::string app_says(const std::string& version) {
  return "kvzsample: application " + version + " is running\n";
}

std::string diags_says(const std::string& version) {
  return "kvzsample: diagnostics " + version + " is running\n";
}

Bytes app_archive(const std::string& version, bool with_distro_id) {
  ArchiveFiles files = {{"home/bin/mp.elf.strip", sample_script(app_says(version))}};
  if (with_distro_id) files.push_back({"home/bin/distro-id", "kvzsample 1\n"});
  return make_archive(files);
}

Bytes diags_archive(const std::string& version) {
  return make_archive({{"home/bin/distro-id", "kvzsample 1\n"},
                       {"mpdiag.elf.strip", sample_script(diags_says(version))}});
}

Bytes gzip_bytes(const Bytes& data) {
  ScratchDir dir;
  const std::string file = dir.path + "/data";
  write_file(file, data, 0644);
  std::string log;
  if (run_program({"gzip", "-n", file}, &log) != 0) throw std::runtime_error("gzip failed: " + log);
  return read_file(file + ".gz");
}

}  // namespace kvzsim
