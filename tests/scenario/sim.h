// Scenario fixture over the virtual board: make a board directory, boot a launcher on it with a
// scripted console, and look at everything it left behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kvzsim {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// The targets whose launcher is built in this tree (PowerPC when its build tree is configured),
// and the names of test cases parameterized by them ("host", "ppc").
enum class Target { kHost, kPpc };
inline const char* target_name(Target t) {
  return t == Target::kHost ? "host" : "ppc";
}
std::vector<Target> targets();
struct TargetName {
  template <typename ParamInfo>
  std::string operator()(const ParamInfo& p) const {
    return target_name(p.param);
  }
};
// build/bin of the target's tree.
inline std::string bin_for(Target t) {
  return t == Target::kHost ? KVZ_HOST_BIN_DIR : KVZ_PPC_BIN_DIR;
}

Lines lines_of(const std::string& text);  // without their newlines
inline std::string as_text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}
// A file's bytes (none when it is missing); writing truncates the file unless `at` is given.
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data, long at = -1);

// What the sample application (or diagnostics program) of `version` prints when it runs.
inline std::string app_says(const std::string& version) {
  return "kvzsample: application " + version + " is running\n";
}
inline std::string diags_says(const std::string& version) {
  return "kvzsample: diagnostics " + version + " is running\n";
}
// Records' payloads like the demo board's, gzip'd tar archives made by the real tar with root as
// owner: home/bin/mp.elf.strip printing app_says(version), with home/bin/distro-id unless left
// out and the files given (path, content); or mpdiag.elf.strip.
using ArchiveFiles = std::vector<std::pair<std::string, std::string>>;
Bytes app_archive(const std::string& version, bool with_distro_id = true,
                  const ArchiveFiles& more = {});
Bytes diags_archive(const std::string& version);
Bytes gzip_bytes(const Bytes& data);      // compressed by the real gzip
std::string md5_hex(const Bytes& bytes);  // md5sum's digest, as the launcher names rejected images

// A board directory made by `kvzsim init`, removed again at the end of the test (kept when
// KVZSIM_KEEP is set). Paths are relative to the board directory.
class Board {
 public:
  explicit Board(const Lines& init_args = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
  bool exists(const std::string& rel) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path(rel)));
  }
  void remove(const std::string& rel) const { std::filesystem::remove_all(path(rel)); }
  Bytes read(const std::string& rel) const { return read_file(path(rel)); }
  std::string text(const std::string& rel) const { return as_text(read(rel)); }
  void write(const std::string& rel, const Bytes& data) const { write_file(path(rel), data); }
  void write_text(const std::string& rel, const std::string& t) const {
    write(rel, {t.begin(), t.end()});
  }
  // Overwrites bytes of a file in place (a flash partition, an EEPROM image).
  void patch(const std::string& rel, size_t offset, const Bytes& data) const {
    write_file(path(rel), data, static_cast<long>(offset));
  }
  uint8_t vpd(size_t offset) const { return read("eeprom/vpd.bin").at(offset); }
  void set_vpd(size_t offset, uint8_t value) const { patch("eeprom/vpd.bin", offset, {value}); }
  Lines commands() const { return lines_of(text("commands.log")); }
  int exit_status() const;  // the stand-in launcher's, as the board recorded it; -1 when none
  Lines i2c_log() const { return lines_of(text("i2c.log")); }
  std::vector<uint32_t> erase_counts(const std::string& part) const;  // per erase block
  void clear_logs() const;                                            // logs and erase counts
  // Writes a boot-loader environment made by u-boot-tools' mkenvimage (the variables NAME=VALUE,
  // a redundant-free image of `size` bytes) into the environment partition.
  void set_env(const Lines& vars, size_t size = 65536) const;

 private:
  std::string dir_;
};

// The outcome of one boot: kvzsim's exit status (-1 when it had to be killed), the launcher's
// standard output and error, and what the console terminal itself showed (its echo of the keys).
struct Boot {
  int status = -1;
  std::string out, err, echo;
};
// kvzsim's exit status: the launcher became /bin/backtrace, it rebooted the board, or the run
// ended any other way.
constexpr int kRanApplication = 0, kRebooted = 1, kOtherEnd = 3;

// One boot with a scripted console: standard input is a pseudo-terminal (so the interrupt key
// raises SIGINT), or the file at stdin_path (e.g. "/dev/null": a console at its end); standard
// output and error are pipes kept apart. /dev/ttyS0 is a second pseudo-terminal whose other end
// the test holds.
class Console {
 public:
  Console(const Board& board, Target target, const Lines& extra = {}, double time_scale = 20,
          const std::string& stdin_path = "");
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Waits until standard output holds `text` after what earlier waits consumed.
  bool wait_for(const std::string& text, double seconds = 30);
  void send(const std::string& keys);
  Boot finish(double seconds = 120);                // waits for the end of the run
  int serial_fd() const { return serial_master_; }  // the test's end of /dev/ttyS0
  // Runs lrzsz's `sx OPTION FILE` on the serial line until it ends; returns its exit status.
  // "-k" sends 1024-byte blocks; "-b" (binary) plain XMODEM's 128-byte ones.
  int send_xmodem(const std::string& file, double seconds = 120, const char* option = "-k");

 private:
  void pump(int timeout_ms);

  pid_t pid_ = -1;
  int console_master_ = -1, serial_master_ = -1, serial_slave_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_, echo_;
  size_t out_seen_ = 0;
  int status_ = -1;
  bool done_ = false;
};

// Boots a stand-in launcher of the target's build (e.g. "kvzrx") in place of the
// launcher, types the script on its console, then the end-of-input key; run_storage runs the one
// that drives the board-storage modules (kvzsim_storage) with the faults given.
Boot run_script(const Board& board, Target target, const std::string& program,
                const std::string& script, Lines extra = {}, double time_scale = 20);
Boot run_storage(const Board& board, Target target, const std::string& script,
                 const Lines& faults = {});
// Boots once with nothing typed on the console.
Boot boot(const Board& board, Target target, const Lines& extra = {}, double time_scale = 20);

// ---- Scenarios in one table row -------------------------------------------------------------

// What a boot must show: kvzsim's exit status, the exact standard output (without the dots drawn
// before "USB mounted and ready!": how many there are depends on how fast the launcher starts)
// and error, the exact command log, and the terminal's echo of what was typed.
struct Expect {
  int status = kRanApplication;
  std::string out{}, err{};
  Lines commands{};
  std::string echo{};
};

// A dialog step: once `prompt` is on standard output and the launcher reads, `keys` are typed on
// the console; or, by `via`, written on the serial line, sent by lrzsz's sx over the serial line
// (keys: the board file), or left in the board's /tmp/image (keys: its content).
struct Exchange {
  enum Via { kConsole, kSerial, kXmodem, kTmpImage };
  std::string prompt{}, keys{};
  Via via = kConsole;
};

// A power-up of the demo board: how it differs, kvzsim's options, the console dialog (or a
// console at its end from the start), board time's scale, what must come out, and further checks
// of what the boot left behind.
struct Scenario {
  std::string what{};
  std::function<void(const Board&)> setup{};
  Lines options{};
  std::vector<Exchange> dialog{};
  bool closed_console = false;
  double time_scale = 20;
  Expect want{};
  std::function<void(const Board&)> check{};
};
// Runs the scenario, SCOPED_TRACE'd by its name, on a fresh demo board; or runs the scenarios one
// power-up after another on one board, each with empty logs.
void run_scenario(const Scenario& s, Target target);
void run_story(const Board& board, const std::vector<Scenario>& story, Target target);

}  // namespace kvzsim
