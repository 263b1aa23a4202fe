// Scenario fixture over the virtual board: make a board directory, boot a launcher on it with a
// scripted console, and look at everything it left behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvzsim {

using Bytes = std::vector<uint8_t>;

enum class Target { kHost, kPpc };
const char* target_name(Target t);
// The targets whose launcher is built in this tree (PowerPC when its build tree is configured).
std::vector<Target> targets();
// Names parameterized test cases after their target ("host", "ppc").
struct TargetName {
  template <typename ParamInfo>
  std::string operator()(const ParamInfo& p) const {
    return target_name(p.param);
  }
};

std::string host_bin();  // build/bin of the host tree
std::string bin_for(Target t);

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

// Runs a host program and returns its exit status; stdout and stderr are collected.
int run_program(const std::vector<std::string>& argv, std::string* out = nullptr);

// A gzip'd tar archive of the files given (path inside the archive, content), made by the real
// tar with root as owner so that the board can restore it; a file whose content starts with "#!"
// is executable. The result is what an application or diagnostics record carries as payload.
using ArchiveFiles = std::vector<std::pair<std::string, std::string>>;
Bytes make_archive(const ArchiveFiles& files);
// The text that the sample application (or diagnostics program) of `version` prints when it runs.
std::string app_says(const std::string& version);
std::string diags_says(const std::string& version);
// Archives like the demo board's: home/bin/mp.elf.strip printing app_says(version) (and
// home/bin/distro-id unless left out), or mpdiag.elf.strip printing diags_says(version).
Bytes app_archive(const std::string& version, bool with_distro_id = true);
Bytes diags_archive(const std::string& version);
// The data compressed by the real gzip.
Bytes gzip_bytes(const Bytes& data);

// A board directory made by `kvzsim init`, removed again at the end of the test.
class Board {
 public:
  explicit Board(const std::vector<std::string>& init_args = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
  bool exists(const std::string& rel) const;

  Bytes read(const std::string& rel) const;
  std::string text(const std::string& rel) const;
  void write(const std::string& rel, const Bytes& data) const;
  void write_text(const std::string& rel, const std::string& text) const;
  void remove(const std::string& rel) const;
  // Overwrites bytes of a file in place (a flash partition, an EEPROM image).
  void patch(const std::string& rel, size_t offset, const Bytes& data) const;

  uint8_t vpd(size_t offset) const;
  void set_vpd(size_t offset, uint8_t value) const;
  std::vector<std::string> commands() const;  // commands.log, line by line
  std::vector<std::string> i2c_log() const;
  std::vector<uint32_t> erase_counts(const std::string& part) const;  // per erase block
  void clear_logs() const;                                            // logs and erase counts
  void configure(const std::string& line) const;  // appends KEY=VALUE to the board config
  // Writes a boot-loader environment made by u-boot-tools' mkenvimage into the environment
  // partition: the variables (NAME=VALUE) and a redundant-free image of `size` bytes.
  void set_env(const std::vector<std::string>& vars, size_t size = 65536) const;
  // Makes a bundle with kvzimage: specs as `TYPE[,OPTIONS]:VERSION:FILE`.
  void make_bundle(const std::string& rel, const std::vector<std::string>& specs) const;

 private:
  std::string dir_;
};

// The outcome of one boot.
struct Boot {
  int status = -1;  // kvzsim's exit status, -1 when it had to be killed
  std::string out;  // the launcher's standard output
  std::string err;  // its standard error
};

// One boot with a scripted console: standard input is a pseudo-terminal (so the interrupt key
// raises SIGINT), standard output and error are pipes kept apart. /dev/ttyS0 is a second
// pseudo-terminal whose other end the test holds.
class Console {
 public:
  // With stdin_path, standard input is that file instead of the console terminal (then there is
  // no echo and no key to send), e.g. "/dev/null": a console that is at its end from the start.
  Console(const Board& board, Target target, const std::vector<std::string>& extra = {},
          double time_scale = 20, const std::string& stdin_path = "");
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Waits until standard output (or error) holds `text` after what earlier waits consumed.
  bool wait_for(const std::string& text, double seconds = 30);
  bool wait_for_err(const std::string& text, double seconds = 30);
  void send(const std::string& keys);
  void ctrl_c() { send("\x03"); }
  // Waits for the end of the run and returns what it printed.
  Boot finish(double seconds = 120);

  // The test's end of /dev/ttyS0.
  int serial_fd() const { return serial_master_; }
  // What arrived on the console terminal itself (the terminal's echo).
  const std::string& echo() const { return echo_; }
  // Runs lrzsz's `sx OPTION FILE` on the serial line until it ends; returns its exit status.
  // "-k" sends 1024-byte blocks; "-b" (binary) plain XMODEM's 128-byte ones.
  int send_xmodem(const std::string& file, double seconds = 120, const char* option = "-k");

 private:
  void pump(int timeout_ms);
  bool wait_in(const std::string& text, const std::string& which, size_t* from, double seconds);

  pid_t pid_ = -1;
  int console_master_ = -1;
  int serial_master_ = -1;
  int serial_slave_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_, err_, echo_;
  size_t out_seen_ = 0, err_seen_ = 0;
  int status_ = -1;
  bool done_ = false;
};

// Boots a stand-in launcher of the target's build (e.g. "kvzsim_probe") in place of the
// launcher, types the script on its console, then the end-of-input key.
Boot run_script(const Board& board, Target target, const std::string& program,
                const std::string& script, std::vector<std::string> extra = {},
                double time_scale = 20);

// Boots once with nothing typed on the console.
Boot boot(const Board& board, Target target, const std::vector<std::string>& extra = {},
          double time_scale = 20);
// Boots once with standard input at its end (/dev/null): nobody will ever type anything.
Boot boot_closed_console(const Board& board, Target target,
                         const std::vector<std::string>& extra = {}, double time_scale = 20,
                         double seconds = 120);

}  // namespace kvzsim
