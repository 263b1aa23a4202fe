// Scenario fixture over the virtual board: make a board directory, boot a launcher on it with a
// scripted console, and look at everything it left behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kvzsim {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

enum class Target { kHost, kPpc };
inline const char* target_name(Target t) {
  return t == Target::kHost ? "host" : "ppc";
}
// The targets whose launcher is built in this tree (PowerPC when its build tree is configured).
std::vector<Target> targets();
// Names parameterized test cases after their target ("host", "ppc").
struct TargetName {
  template <typename ParamInfo>
  std::string operator()(const ParamInfo& p) const {
    return target_name(p.param);
  }
};
// build/bin of the host tree, and of the target's tree.
inline std::string host_bin() {
  return KVZ_HOST_BIN_DIR;
}
inline std::string bin_for(Target t) {
  return t == Target::kHost ? host_bin() : KVZ_PPC_BIN_DIR;
}

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);
inline std::string as_text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}
// Runs a host program and returns its exit status; stdout and stderr are collected.
int run_program(const std::vector<std::string>& argv, std::string* out = nullptr);

// A gzip'd tar archive, made by the real tar with root as owner, of the files given (path inside
// the archive, content; executable when it starts with "#!"): a record's payload.
using ArchiveFiles = std::vector<std::pair<std::string, std::string>>;
Bytes make_archive(const ArchiveFiles& files);
// What the sample application (or diagnostics program) of `version` prints when it runs.
inline std::string app_says(const std::string& version) {
  return "kvzsample: application " + version + " is running\n";
}
inline std::string diags_says(const std::string& version) {
  return "kvzsample: diagnostics " + version + " is running\n";
}
// Archives like the demo board's: home/bin/mp.elf.strip printing app_says(version), with
// home/bin/distro-id unless left out and the files given; or mpdiag.elf.strip.
Bytes app_archive(const std::string& version, bool with_distro_id = true,
                  const ArchiveFiles& more = {});
Bytes diags_archive(const std::string& version);
Bytes gzip_bytes(const Bytes& data);  // compressed by the real gzip

// A board directory made by `kvzsim init`, removed again at the end of the test (kept when
// KVZSIM_KEEP is set). Paths are relative to the board directory.
class Board {
 public:
  explicit Board(const std::vector<std::string>& init_args = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return dir_ + "/" + rel; }
  bool exists(const std::string& rel) const;

  Bytes read(const std::string& rel) const;  // a missing file reads as empty
  std::string text(const std::string& rel) const { return as_text(read(rel)); }
  void write(const std::string& rel, const Bytes& data) const;
  void write_text(const std::string& rel, const std::string& t) const {
    write(rel, {t.begin(), t.end()});
  }
  void remove(const std::string& rel) const;
  // Overwrites bytes of a file in place (a flash partition, an EEPROM image).
  void patch(const std::string& rel, size_t offset, const Bytes& data) const;

  uint8_t vpd(size_t offset) const { return read("eeprom/vpd.bin").at(offset); }
  void set_vpd(size_t offset, uint8_t value) const { patch("eeprom/vpd.bin", offset, {value}); }
  std::vector<std::string> commands() const { return lines_of(text("commands.log")); }
  std::vector<std::string> i2c_log() const { return lines_of(text("i2c.log")); }
  std::vector<uint32_t> erase_counts(const std::string& part) const;  // per erase block
  void clear_logs() const;                                            // logs and erase counts
  // Appends KEY=VALUE to the board config.
  void configure(const std::string& line) const {
    write_text("config", text("config") + line + "\n");
  }
  // Writes a boot-loader environment made by u-boot-tools' mkenvimage into the environment
  // partition: the variables (NAME=VALUE) and a redundant-free image of `size` bytes.
  void set_env(const std::vector<std::string>& vars, size_t size = 65536) const;
  // Makes a bundle with kvzimage: specs as `TYPE[,OPTIONS]:VERSION:FILE`.
  void make_bundle(const std::string& rel, const std::vector<std::string>& specs) const;

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
// raises SIGINT), standard output and error are pipes kept apart. /dev/ttyS0 is a second
// pseudo-terminal whose other end the test holds.
class Console {
 public:
  // With stdin_path, standard input is that file (e.g. "/dev/null": a console at its end).
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
  Boot finish(double seconds = 120);  // waits for the end of the run

  int serial_fd() const { return serial_master_; }   // the test's end of /dev/ttyS0
  const std::string& echo() const { return echo_; }  // what the console terminal showed
  // Runs lrzsz's `sx OPTION FILE` on the serial line until it ends; returns its exit status.
  // "-k" sends 1024-byte blocks; "-b" (binary) plain XMODEM's 128-byte ones.
  int send_xmodem(const std::string& file, double seconds = 120, const char* option = "-k");

 private:
  void pump(int timeout_ms);
  bool wait_in(const std::string& text, const std::string& buf, size_t* from, double seconds);

  pid_t pid_ = -1;
  int console_master_ = -1, serial_master_ = -1, serial_slave_ = -1, out_fd_ = -1, err_fd_ = -1;
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
// Boots once with nothing typed on the console, or with standard input at its end (/dev/null:
// nobody will ever type anything).
Boot boot(const Board& board, Target target, const std::vector<std::string>& extra = {},
          double time_scale = 20);
Boot boot_closed_console(const Board& board, Target target,
                         const std::vector<std::string>& extra = {}, double time_scale = 20,
                         double seconds = 120);

// ---- Scenarios in one table row -------------------------------------------------------------

// What a boot must show: kvzsim's exit status, the exact standard output and error, the exact
// command log, and the terminal's echo of what was typed.
struct Expect {
  int status = kRanApplication;
  std::string out{}, err{};
  Lines commands{};
  std::string echo{};
};
// Standard output is compared without the dots of the USB mount checks before "USB mounted and
// ready!": how many checks pass before the platform announces the stick depends on how fast the
// launcher starts.
void expect_boot(const Boot& got, const Board& board, const Expect& want);
std::string undotted(std::string out);
// md5sum's digest of the bytes, as the launcher names a rejected image.
std::string md5_hex(const Bytes& bytes);

// A console dialog step: `keys` typed once `prompt` is on standard output and the launcher reads.
struct Exchange {
  std::string prompt{}, keys{};
};
// Boots with the dialog (or with a console at its end from the start) and returns the outcome.
Boot answer(const Board& board, Target target, const std::vector<Exchange>& dialog,
            const std::vector<std::string>& extra = {}, bool closed_console = false);

// A boot of the demo board: how it differs, kvzsim's options, the console, what must come out, and
// further checks of what the boot left behind.
struct Scenario {
  std::string what{};
  std::function<void(const Board&)> setup{};
  std::vector<std::string> options{};
  std::vector<Exchange> dialog{};
  bool closed_console = false;
  Expect want{};
  std::function<void(const Board&)> check{};
};
// Runs the scenario on a fresh demo board, SCOPED_TRACE'd by its name.
void run_scenario(const Scenario& s, Target target);

}  // namespace kvzsim
