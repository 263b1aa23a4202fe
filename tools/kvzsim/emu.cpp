// The virtual board's device emulator: preloaded (LD_PRELOAD) into every process that the sandbox
// starts, it gives the unchanged launcher what plain files cannot:
//  - MTD character devices with NOR semantics (MEMGETINFO, MEMERASE, writes that only clear bits,
//    reads and writes clamped at the partition end, per-block erase counts),
//  - i2c-dev with the VPD EEPROM at bus 0 address 0x54 and the register device at bus 1 address
//    0x20, backed by files of the board directory, with a transfer log,
//  - the management port eth0 as the launcher's own sockets see it (index, flags, link),
//  - a log of every command line the launcher runs through the shell or exec,
//  - scaled time for the launcher's sleeps, waits and clocks,
//  - fault injection (failing, short, half-erasing or silently lost MTD operations, a busy I2C
//    bus, failing shell commands) and power cuts after the Nth write to flash or to /user, with
//    the run's writes counted for kvzsim to report.
//
// The launcher is the process whose argv[0] equals $KVZEMU_MAIN; only it is logged, time-scaled
// and device-emulated. Other processes (the shell, tar, cp) only count writes for power cuts.
// Everything is configured by the files under $KVZEMU (the run directory made by kvzsim).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/sockios.h>
#include <mtd/mtd-user.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern "C" char* program_invocation_name;

namespace {

// ---- Real functions -------------------------------------------------------------------------

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);
using read_fn = ssize_t (*)(int, void*, size_t);
using write_fn = ssize_t (*)(int, const void*, size_t);
using pread_fn = ssize_t (*)(int, void*, size_t, off_t);
using pwrite_fn = ssize_t (*)(int, const void*, size_t, off_t);
using pread64_fn = ssize_t (*)(int, void*, size_t, off64_t);
using pwrite64_fn = ssize_t (*)(int, const void*, size_t, off64_t);

// Raw helpers that bypass the interposition, for the emulator's own file work.
int raw_open(const char* path, int flags, mode_t mode = 0) {
  static auto fn = real<open_fn>("open");
  return fn(path, flags, mode);
}
ssize_t raw_pread(int fd, void* buf, size_t n, off64_t off) {
  static auto fn = real<pread64_fn>("pread64");
  return fn(fd, buf, n, off);
}
ssize_t raw_pwrite(int fd, const void* buf, size_t n, off64_t off) {
  static auto fn = real<pwrite64_fn>("pwrite64");
  return fn(fd, buf, n, off);
}
ssize_t raw_write(int fd, const void* buf, size_t n) {
  static auto fn = real<write_fn>("write");
  return fn(fd, buf, n);
}

// ---- Configuration --------------------------------------------------------------------------

constexpr int kMaxDevices = 16;
constexpr int kMaxFds = 1024;

enum class Kind { kNone, kMtd, kI2c };

struct Device {
  Kind kind = Kind::kNone;
  char name[32] = {};  // partition name ("kernel") or bus number ("0")
  dev_t dev = 0;
  ino_t ino = 0;
};

// A countdown fault: fire on the Nth matching operation (1-based), optionally of one partition.
struct Fault {
  long nth = 0;
  char part[32] = {};
  long seen = 0;
};

// A fault on the launcher's operations on one path, PATH or PATH:N in the config: every one, or
// only the Nth.
struct PathFault {
  char path[128] = {};
  long nth = 0, seen = 0;
  void parse(const char* value) {
    const char* colon = strrchr(value, ':');
    const int len = colon ? static_cast<int>(colon - value) : static_cast<int>(strlen(value));
    snprintf(path, sizeof path, "%.*s", len, value);
    nth = colon ? strtol(colon + 1, nullptr, 10) : 0;
  }
  bool is_on(const char* p) const { return path[0] && p && strcmp(p, path) == 0; }
  bool fires() { return nth <= 0 || ++seen == nth; }  // counts the operations on the path
};

struct Config {
  bool active = false;
  bool main = false;
  char run[256] = {};
  char board[256] = {};
  uint32_t erase_size = 65536;
  double time_scale = 1.0;
  bool fail_memgetinfo = false;
  bool eeprom_silent = false;
  Fault fail_read, short_read, fail_erase, fail_write, short_write, stuck_write;
  Fault half_erase;          // erases the first half of the range, then fails
  int i2c_busy = -1;         // the bus on which selecting a device fails with EBUSY
  long power_cut_flash = 0;  // cut after this many MTD writes (0: never)
  long power_cut_user = 0;   // cut after this many writes to files under /user
  char fail_system[128] = {};
  char eth0[16] = "up";  // up (link), down (present, no link) or absent
  char fail_exec[128] = {};
  // The launcher's opens of this path fail (EACCES).
  PathFault fail_open;
  // The launcher's reads of a file opened by this path fail (EIO), as when a USB stick is pulled.
  PathFault fail_file_read;
  Device devices[kMaxDevices];
  int device_count = 0;
};

Config cfg;
bool initialised = false;

struct FdState {
  int i2c_slave = -1;
  bool inet_socket = false;  // an AF_INET socket the launcher opened
  bool read_fault = false;   // opened by the launcher by the path of fail_read
  int8_t user = -1;          // a file under /user: 1, 0, or -1 not known yet
};
FdState fd_state[kMaxFds];

void parse_fault(Fault* f, const char* value) {
  const char* colon = strchr(value, ':');
  if (colon) {
    snprintf(f->part, sizeof f->part, "%.*s", static_cast<int>(colon - value), value);
    value = colon + 1;
  }
  f->nth = strtol(value, nullptr, 10);
}

void apply_setting(const char* key, const char* value) {
  if (!strcmp(key, "erase_size"))
    cfg.erase_size = static_cast<uint32_t>(strtoul(value, nullptr, 0));
  if (!strcmp(key, "time_scale")) cfg.time_scale = strtod(value, nullptr);
  if (!strcmp(key, "fail_memgetinfo")) cfg.fail_memgetinfo = atoi(value) != 0;
  if (!strcmp(key, "eeprom_silent")) cfg.eeprom_silent = atoi(value) != 0;
  if (!strcmp(key, "fail_mtd_read")) parse_fault(&cfg.fail_read, value);
  if (!strcmp(key, "short_mtd_read")) parse_fault(&cfg.short_read, value);
  if (!strcmp(key, "fail_mtd_erase")) parse_fault(&cfg.fail_erase, value);
  if (!strcmp(key, "fail_mtd_write")) parse_fault(&cfg.fail_write, value);
  if (!strcmp(key, "short_mtd_write")) parse_fault(&cfg.short_write, value);
  if (!strcmp(key, "stuck_mtd_write")) parse_fault(&cfg.stuck_write, value);
  if (!strcmp(key, "half_erase_mtd")) parse_fault(&cfg.half_erase, value);
  if (!strcmp(key, "i2c_busy")) cfg.i2c_busy = atoi(value);
  if (!strcmp(key, "power_cut_flash_write")) cfg.power_cut_flash = strtol(value, nullptr, 10);
  if (!strcmp(key, "power_cut_user_write")) cfg.power_cut_user = strtol(value, nullptr, 10);
  if (!strcmp(key, "fail_system")) snprintf(cfg.fail_system, sizeof cfg.fail_system, "%s", value);
  if (!strcmp(key, "eth0")) snprintf(cfg.eth0, sizeof cfg.eth0, "%s", value);
  if (!strcmp(key, "fail_exec")) snprintf(cfg.fail_exec, sizeof cfg.fail_exec, "%s", value);
  if (!strcmp(key, "fail_open")) cfg.fail_open.parse(value);
  if (!strcmp(key, "fail_read")) cfg.fail_file_read.parse(value);
}

void read_config() {
  char path[320];
  snprintf(path, sizeof path, "%s/config", cfg.run);
  FILE* f = fopen(path, "r");
  if (!f) return;
  char line[256];
  while (fgets(line, sizeof line, f)) {
    line[strcspn(line, "\r\n")] = 0;
    char* eq = strchr(line, '=');
    if (!eq || line[0] == '#') continue;
    *eq = 0;
    apply_setting(line, eq + 1);
  }
  fclose(f);
}

void add_device(Kind kind, const char* path, const char* name) {
  struct stat st;
  if (cfg.device_count >= kMaxDevices || stat(path, &st) != 0) return;
  Device& d = cfg.devices[cfg.device_count++];
  d.kind = kind;
  snprintf(d.name, sizeof d.name, "%s", name);
  d.dev = st.st_dev;
  d.ino = st.st_ino;
}

void find_devices() {
  static const char* const parts[] = {"uboot", "ubootenv", "devicetree", "kernel",
                                      "rfs",   "rescue",   "user"};
  for (const char* p : parts) {
    char path[64];
    snprintf(path, sizeof path, "/dev/mtd-%s", p);
    add_device(Kind::kMtd, path, p);
  }
  add_device(Kind::kI2c, "/dev/i2c-0", "0");
  add_device(Kind::kI2c, "/dev/i2c-1", "1");
}

void init() {
  if (initialised) return;
  initialised = true;
  const char* run = getenv("KVZEMU");
  const char* board = getenv("KVZEMU_BOARD");
  if (!run || !board) return;
  cfg.active = true;
  snprintf(cfg.run, sizeof cfg.run, "%s", run);
  snprintf(cfg.board, sizeof cfg.board, "%s", board);
  const char* main_path = getenv("KVZEMU_MAIN");
  cfg.main = main_path && program_invocation_name && !strcmp(main_path, program_invocation_name);
  read_config();
  if (cfg.time_scale <= 0) cfg.time_scale = 1.0;
  find_devices();
}

__attribute__((constructor)) void emu_constructor() {
  init();
}

const Device* device_of(int fd) {
  init();
  if (!cfg.main || fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  for (int i = 0; i < cfg.device_count; ++i) {
    const Device& d = cfg.devices[i];
    if (d.dev == st.st_dev && d.ino == st.st_ino) return &d;
  }
  return nullptr;
}

// ---- Logs and stats -------------------------------------------------------------------------

void append_file(const char* rel_board_path, const char* text) {
  char path[320];
  snprintf(path, sizeof path, "%s/%s", cfg.board, rel_board_path);
  const int fd = raw_open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  const size_t n = strlen(text);
  if (raw_write(fd, text, n) != static_cast<ssize_t>(n)) { /* the log is best effort */
  }
  close(fd);
}

void touch_marker(const char* name) {
  char path[320];
  snprintf(path, sizeof path, "%s/%s", cfg.run, name);
  const int fd = raw_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) close(fd);
}

// Logs one command line; a newline inside it is written as the two characters \n.
void log_command(const char* line) {
  size_t n = strlen(line);
  char* out = static_cast<char*>(malloc(2 * n + 2));
  if (!out) return;
  size_t j = 0;
  for (size_t i = 0; i < n; ++i) {
    if (line[i] == '\n') {
      out[j++] = '\\';
      out[j++] = 'n';
    } else {
      out[j++] = line[i];
    }
  }
  out[j++] = '\n';
  out[j] = 0;
  append_file("commands.log", out);
  free(out);
}

void log_i2c(const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  strncat(line, "\n", sizeof line - strlen(line) - 1);
  append_file("i2c.log", line);
}

void hex_bytes(char* out, size_t out_size, const uint8_t* b, size_t n) {
  out[0] = 0;
  for (size_t i = 0; i < n && strlen(out) + 4 < out_size; ++i) {
    char h[4];
    snprintf(h, sizeof h, i ? " %02x" : "%02x", b[i]);
    strncat(out, h, out_size - strlen(out) - 1);
  }
}

double real_seconds(clockid_t clock) {
  static auto fn = real<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  struct timespec ts;
  fn(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double slept_seconds = 0;  // board time the launcher asked to sleep or wait
double start_monotonic = -1;

// Writes what benchmarks read: the launcher's run time, its sleeps and its peak memory.
void write_stats() {
  if (!cfg.active || !cfg.main) return;
  long hwm_kb = 0;
  FILE* f = fopen("/proc/self/status", "r");
  if (f) {
    char line[256];
    while (fgets(line, sizeof line, f))
      if (!strncmp(line, "VmHWM:", 6)) hwm_kb = strtol(line + 6, nullptr, 10);
    fclose(f);
  }
  char text[256];
  snprintf(text, sizeof text, "run_seconds=%.6f\nslept_seconds=%.6f\nvmhwm_kb=%ld\n",
           real_seconds(CLOCK_MONOTONIC) - start_monotonic, slept_seconds, hwm_kb);
  char path[320];
  snprintf(path, sizeof path, "%s/stats", cfg.run);
  const int fd = raw_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (raw_write(fd, text, strlen(text)) < 0) { /* best effort */
  }
  close(fd);
}

__attribute__((constructor)) void start_clock() {
  start_monotonic = real_seconds(CLOCK_MONOTONIC);
}
__attribute__((destructor)) void emu_destructor() {
  write_stats();
}

// ---- Power cuts -----------------------------------------------------------------------------

// Counts one write of the given kind across all processes of the run; returns the new count.
long count_shared(const char* name) {
  char path[320];
  snprintf(path, sizeof path, "%s/count-%s", cfg.run, name);
  const int fd = raw_open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) return 0;
  flock(fd, LOCK_EX);
  char buf[32] = {};
  const ssize_t got = raw_pread(fd, buf, sizeof buf - 1, 0);
  long n = got > 0 ? strtol(buf, nullptr, 10) : 0;
  ++n;
  const int len = snprintf(buf, sizeof buf, "%ld\n", n);
  if (raw_pwrite(fd, buf, static_cast<size_t>(len), 0) < 0) { /* best effort */
  }
  flock(fd, LOCK_UN);
  close(fd);
  return n;
}

[[noreturn]] void power_cut() {
  touch_marker("powercut");
  kill(-1, SIGKILL);  // everything else in the board's process namespace
  raise(SIGKILL);
  _exit(137);
}

// Whether fd is a file under /user. Known from the path for a file this process opened by an
// absolute path; otherwise (a relative path, a descriptor it inherited) looked up once through
// /proc and remembered until the descriptor is closed: a lookup on every write would cost an
// unpacking tar tens of thousands of them.
bool is_user_file(int fd) {
  if (fd >= 0 && fd < kMaxFds && fd_state[fd].user >= 0) return fd_state[fd].user == 1;
  char link[64], target[512];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  target[n > 0 ? n : 0] = 0;
  const bool user = n > 0 && !strncmp(target, "/user/", 6);
  if (fd >= 0 && fd < kMaxFds) fd_state[fd].user = user ? 1 : 0;
  return user;
}

// Every write is counted, cut or not: kvzsim reports the counts of a run, so that a campaign
// knows how many cut points an install has.
void after_write(int fd, const Device* dev) {
  if (!cfg.active) return;
  if (dev && dev->kind == Kind::kMtd) {
    const long n = count_shared("flash");
    if (cfg.power_cut_flash > 0 && n >= cfg.power_cut_flash) power_cut();
  } else if (!dev && is_user_file(fd)) {
    const long n = count_shared("user");
    if (cfg.power_cut_user > 0 && n >= cfg.power_cut_user) power_cut();
  }
}

// ---- MTD ------------------------------------------------------------------------------------

bool fault_fires(Fault* f, const Device* dev) {
  if (f->nth <= 0) return false;
  if (f->part[0] && strcmp(f->part, dev->name) != 0) return false;
  return ++f->seen == f->nth;
}

off64_t mtd_size(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Clamps a transfer at the partition end like the MTD character driver does.
ssize_t clamp(int fd, size_t n, off64_t off, size_t* out) {
  const off64_t size = mtd_size(fd);
  if (off < 0) return -EINVAL;
  if (off >= size) {
    *out = 0;
    return 0;
  }
  *out = static_cast<off64_t>(n) > size - off ? static_cast<size_t>(size - off) : n;
  return 0;
}

ssize_t mtd_pread(int fd, const Device* dev, void* buf, size_t n, off64_t off) {
  if (fault_fires(&cfg.fail_read, dev)) {
    errno = EIO;
    return -1;
  }
  size_t len = 0;
  if (clamp(fd, n, off, &len) < 0) {
    errno = EINVAL;
    return -1;
  }
  if (fault_fires(&cfg.short_read, dev)) len /= 2;
  return raw_pread(fd, buf, len, off);
}

ssize_t mtd_pwrite(int fd, const Device* dev, const void* buf, size_t n, off64_t off) {
  if (fault_fires(&cfg.fail_write, dev)) {
    errno = EIO;
    return -1;
  }
  size_t len = 0;
  clamp(fd, n, off, &len);
  if (n > 0 && len == 0) {
    errno = ENOSPC;
    return -1;
  }
  if (fault_fires(&cfg.short_write, dev)) len /= 2;
  const bool stuck = fault_fires(&cfg.stuck_write, dev);
  // NOR flash: programming can only clear bits.
  const auto* src = static_cast<const uint8_t*>(buf);
  uint8_t chunk[4096];
  for (size_t done = 0; done < len && !stuck;) {
    const size_t k = len - done < sizeof chunk ? len - done : sizeof chunk;
    const off64_t at = off + static_cast<off64_t>(done);
    if (raw_pread(fd, chunk, k, at) != static_cast<ssize_t>(k)) return -1;
    for (size_t i = 0; i < k; ++i) chunk[i] &= src[done + i];
    if (raw_pwrite(fd, chunk, k, at) != static_cast<ssize_t>(k)) return -1;
    done += k;
  }
  after_write(fd, dev);
  return static_cast<ssize_t>(len);
}

void count_erase(const Device* dev, uint32_t start, uint32_t length, off64_t part_size) {
  char rel[96];
  snprintf(rel, sizeof rel, "stats/erase-%s", dev->name);
  char path[384];
  snprintf(path, sizeof path, "%s/%s", cfg.board, rel);
  const uint32_t blocks = static_cast<uint32_t>(part_size / cfg.erase_size);
  uint32_t* counts = static_cast<uint32_t*>(calloc(blocks ? blocks : 1, sizeof(uint32_t)));
  if (!counts) return;
  FILE* f = fopen(path, "r");
  if (f) {
    for (uint32_t i = 0; i < blocks; ++i)
      if (fscanf(f, "%u", &counts[i]) != 1) break;
    fclose(f);
  }
  for (uint32_t b = start / cfg.erase_size; b < (start + length) / cfg.erase_size && b < blocks;
       ++b)
    ++counts[b];
  f = fopen(path, "w");
  if (f) {
    for (uint32_t i = 0; i < blocks; ++i) fprintf(f, "%u\n", counts[i]);
    fclose(f);
  }
  free(counts);
}

int mtd_ioctl(int fd, const Device* dev, unsigned long request, void* arg) {
  if (request == MEMGETINFO) {
    if (cfg.fail_memgetinfo) {
      errno = EIO;
      return -1;
    }
    auto* info = static_cast<mtd_info_user*>(arg);
    memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(mtd_size(fd));
    info->erasesize = cfg.erase_size;
    info->writesize = 1;
    return 0;
  }
  if (request == MEMERASE) {
    const auto* e = static_cast<const erase_info_user*>(arg);
    const off64_t size = mtd_size(fd);
    if (cfg.erase_size == 0 || e->start % cfg.erase_size || e->length % cfg.erase_size ||
        static_cast<off64_t>(e->start) + e->length > size) {
      errno = EINVAL;
      return -1;
    }
    if (fault_fires(&cfg.fail_erase, dev)) {
      errno = EIO;
      return -1;
    }
    // An erase interrupted half way leaves the first half of the range erased.
    const bool half = fault_fires(&cfg.half_erase, dev);
    const uint32_t length = half ? e->length / 2 : e->length;
    uint8_t ff[4096];
    memset(ff, 0xFF, sizeof ff);
    for (uint32_t done = 0; done < length;) {
      const uint32_t k = length - done < sizeof ff ? length - done : sizeof ff;
      if (raw_pwrite(fd, ff, k, e->start + done) != static_cast<ssize_t>(k)) return -1;
      done += k;
    }
    if (half) {
      errno = EIO;
      return -1;
    }
    count_erase(dev, e->start, e->length, size);
    return 0;
  }
  errno = ENOTTY;
  return -1;
}

// ---- I2C ------------------------------------------------------------------------------------

constexpr int kEepromAddress = 0x54;
constexpr int kRegsAddress = 0x20;
constexpr uint32_t kEepromSize = 8192;
constexpr uint32_t kEepromPage = 32;

// A 24Cxx part programs its cells after the write's stop condition, and answers nothing during
// that internal write cycle: the host must wait it out (in board time).
constexpr double kWriteCycleSeconds = 0.005;

uint32_t eeprom_pointer = 0;
double eeprom_busy_until = 0;

double board_seconds();

// Opens a backing file of the board; -1 when the device is absent (it does not answer).
int open_backing(const char* rel) {
  char path[320];
  snprintf(path, sizeof path, "%s/%s", cfg.board, rel);
  return raw_open(path, O_RDWR);
}

bool eeprom_answers(int bus, int slave) {
  if (bus != 0 || slave != kEepromAddress || cfg.eeprom_silent) return false;
  if (board_seconds() < eeprom_busy_until) return false;
  const int fd = open_backing("eeprom/vpd.bin");
  if (fd < 0) return false;
  close(fd);
  return true;
}

ssize_t i2c_write(int fd, const Device* dev, const uint8_t* b, size_t n) {
  const int bus = dev->name[0] - '0';
  const int slave = fd_state[fd].i2c_slave;
  char hex[256];
  hex_bytes(hex, sizeof hex, b, n);
  const char* gap = n ? " " : "";
  if (!eeprom_answers(bus, slave)) {
    log_i2c("i2c-%d 0x%02x write%s%s nak", bus, slave & 0xFF, gap, hex);
    errno = ENXIO;
    return -1;
  }
  log_i2c("i2c-%d 0x%02x write%s%s", bus, slave, gap, hex);
  // The word address arrives high byte first and is latched byte by byte: a write of one byte
  // replaces only the high byte. Without data bytes there is no write cycle.
  if (n >= 1) eeprom_pointer = ((static_cast<uint32_t>(b[0]) << 8) | (eeprom_pointer & 0xFF));
  if (n >= 2) eeprom_pointer = (eeprom_pointer & 0xFF00) | b[1];
  eeprom_pointer %= kEepromSize;
  if (n <= 2) return static_cast<ssize_t>(n);
  eeprom_busy_until = board_seconds() + kWriteCycleSeconds;
  const int back = open_backing("eeprom/vpd.bin");
  const uint32_t page = eeprom_pointer & ~(kEepromPage - 1);
  for (size_t i = 2; i < n; ++i) {
    // Data bytes roll over within the page, as on a 24Cxx part.
    if (raw_pwrite(back, &b[i], 1, eeprom_pointer) != 1) break;
    eeprom_pointer = page | ((eeprom_pointer + 1) & (kEepromPage - 1));
  }
  close(back);
  return static_cast<ssize_t>(n);
}

ssize_t i2c_read(int fd, const Device* dev, uint8_t* b, size_t n) {
  const int bus = dev->name[0] - '0';
  const int slave = fd_state[fd].i2c_slave;
  if (!eeprom_answers(bus, slave)) {
    log_i2c("i2c-%d 0x%02x read %zu nak", bus, slave & 0xFF, n);
    errno = ENXIO;
    return -1;
  }
  const int back = open_backing("eeprom/vpd.bin");
  for (size_t i = 0; i < n; ++i) {
    if (raw_pread(back, &b[i], 1, eeprom_pointer) != 1) b[i] = 0xFF;
    eeprom_pointer = (eeprom_pointer + 1) % kEepromSize;
  }
  close(back);
  char hex[256];
  hex_bytes(hex, sizeof hex, b, n);
  log_i2c("i2c-%d 0x%02x read %s", bus, slave, hex);
  return static_cast<ssize_t>(n);
}

int i2c_smbus(int fd, const Device* dev, i2c_smbus_ioctl_data* req) {
  const int bus = dev->name[0] - '0';
  const int slave = fd_state[fd].i2c_slave;
  const bool reading = req->read_write == I2C_SMBUS_READ;
  const int back = (bus == 1 && slave == kRegsAddress) ? open_backing("eeprom/regs.bin") : -1;
  if (back < 0 || req->size != I2C_SMBUS_BYTE_DATA || !req->data) {
    if (back >= 0) close(back);
    log_i2c("i2c-%d 0x%02x smbus-%s reg 0x%02x nak", bus, slave & 0xFF, reading ? "read" : "write",
            req->command);
    errno = ENXIO;
    return -1;
  }
  if (reading) {
    if (raw_pread(back, &req->data->byte, 1, req->command) != 1) req->data->byte = 0;
  } else if (raw_pwrite(back, &req->data->byte, 1, req->command) != 1) {
    close(back);
    errno = EIO;
    return -1;
  }
  close(back);
  log_i2c("i2c-%d 0x%02x smbus-%s reg 0x%02x = 0x%02x", bus, slave, reading ? "read" : "write",
          req->command, req->data->byte);
  return 0;
}

int i2c_ioctl(int fd, const Device* dev, unsigned long request, void* arg) {
  if (fd >= kMaxFds) {
    errno = EBADF;
    return -1;
  }
  if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
    const unsigned long addr = reinterpret_cast<unsigned long>(arg);
    if (addr > 0x7F) {
      errno = EINVAL;
      return -1;
    }
    // As when a kernel driver holds the address: only the forcing request takes it over.
    if (request == I2C_SLAVE && dev->name[0] - '0' == cfg.i2c_busy) {
      errno = EBUSY;
      return -1;
    }
    fd_state[fd].i2c_slave = static_cast<int>(addr);
    return 0;
  }
  if (request == I2C_SMBUS) return i2c_smbus(fd, dev, static_cast<i2c_smbus_ioctl_data*>(arg));
  errno = ENOTTY;
  return -1;
}

// ---- Management port ------------------------------------------------------------------------

// Interface requests on the launcher's own sockets, answered from the board's eth0 setting; any
// other interface does not exist. false for requests that are not the board's to answer.
bool net_ioctl(unsigned long request, void* arg, int* result) {
  if (request != SIOCGIFINDEX && request != SIOCGIFFLAGS && request != SIOCETHTOOL) return false;
  auto* ifr = static_cast<ifreq*>(arg);
  *result = -1;
  if (strncmp(ifr->ifr_name, "eth0", IFNAMSIZ) != 0 || !strcmp(cfg.eth0, "absent")) {
    errno = ENODEV;
    return true;
  }
  const bool link = !strcmp(cfg.eth0, "up");
  if (request == SIOCGIFINDEX) {
    ifr->ifr_ifindex = 2;
  } else if (request == SIOCGIFFLAGS) {
    ifr->ifr_flags =
        static_cast<short>(IFF_UP | IFF_BROADCAST | IFF_MULTICAST | (link ? IFF_RUNNING : 0));
  } else {
    auto* value = reinterpret_cast<ethtool_value*>(ifr->ifr_data);
    if (value->cmd != ETHTOOL_GLINK) {
      errno = EOPNOTSUPP;
      return true;
    }
    value->data = link ? 1 : 0;
  }
  *result = 0;
  return true;
}

// ---- Time -----------------------------------------------------------------------------------

double scale() {
  return cfg.main ? cfg.time_scale : 1.0;
}

struct timespec scaled(const struct timespec* ts) {
  const double s =
      (static_cast<double>(ts->tv_sec) + static_cast<double>(ts->tv_nsec) / 1e9) / scale();
  struct timespec out;
  out.tv_sec = static_cast<time_t>(s);
  out.tv_nsec = static_cast<long>((s - static_cast<double>(out.tv_sec)) * 1e9);
  return out;
}

int scaled_ms(int timeout_ms) {
  if (timeout_ms <= 0) return timeout_ms;
  const int ms = static_cast<int>(timeout_ms / scale());
  return ms > 0 ? ms : 1;
}

void note_sleep(double seconds) {
  if (cfg.main) slept_seconds += seconds;
}

// Board clocks run `scale` times faster than real ones, from the moment the launcher started.
// CLOCK_MONOTONIC_RAW stays real, so that tests can measure what a wait really took.
void scale_clock(clockid_t clock, struct timespec* ts) {
  if (scale() == 1.0 || clock == CLOCK_MONOTONIC_RAW) return;
  static double base[16];
  static bool have[16];
  const int slot = clock & 15;
  const double now = static_cast<double>(ts->tv_sec) + static_cast<double>(ts->tv_nsec) / 1e9;
  if (!have[slot]) {
    have[slot] = true;
    base[slot] = now;
  }
  const double board = base[slot] + (now - base[slot]) * scale();
  ts->tv_sec = static_cast<time_t>(board);
  ts->tv_nsec = static_cast<long>((board - static_cast<double>(ts->tv_sec)) * 1e9);
}

// The board's monotonic clock, in seconds: what the launcher's own clock reads.
double board_seconds() {
  static auto fn = real<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  struct timespec ts;
  fn(CLOCK_MONOTONIC, &ts);
  scale_clock(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// ---- Exec helpers ---------------------------------------------------------------------------

// Logs an exec of the launcher; false (errno ENOENT) when the fault fail_exec makes the program
// missing.
bool log_exec(const char* path, char* const argv[]) {
  if (!cfg.main) return true;
  size_t n = 6;
  for (int i = 0; argv[i]; ++i) n += strlen(argv[i]) + 1;
  if (char* line = static_cast<char*>(malloc(n))) {
    strcpy(line, "exec");
    for (int i = 0; argv[i]; ++i) {
      strcat(line, " ");
      strcat(line, argv[i]);
    }
    log_command(line);
    free(line);
  }
  if (cfg.fail_exec[0] && !strncmp(path, cfg.fail_exec, strlen(cfg.fail_exec))) {
    errno = ENOENT;
    return false;
  }
  write_stats();
  return true;
}

// Collects the arguments of an execl-style call into an array (at most 63 of them).
void collect_args(const char* first, va_list ap, char** argv, char*** envp) {
  int i = 0;
  argv[i++] = const_cast<char*>(first);
  while (i < 63) {
    char* a = va_arg(ap, char*);
    argv[i++] = a;
    if (!a) break;
  }
  argv[63] = nullptr;
  if (envp) *envp = va_arg(ap, char**);
}

}  // namespace

// ---- Interposed entry points ----------------------------------------------------------------

extern "C" {

#define OPEN_MODE(flags)                         \
  mode_t mode = 0;                               \
  if ((flags) & (O_CREAT | __O_TMPFILE)) {       \
    va_list ap;                                  \
    va_start(ap, flags);                         \
    mode = static_cast<mode_t>(va_arg(ap, int)); \
    va_end(ap);                                  \
  }

static int after_open(int fd, const char* path = nullptr) {
  if (fd >= 0 && fd < kMaxFds) {
    fd_state[fd] = FdState{};
    fd_state[fd].read_fault = cfg.main && cfg.fail_file_read.is_on(path);
    if (path && path[0] == '/') fd_state[fd].user = strncmp(path, "/user/", 6) == 0 ? 1 : 0;
  }
  return fd;
}

// The fault fail_read: true (errno EIO) when this read of a file of the launcher's is to fail.
static bool read_refused(int fd) {
  if (fd < 0 || fd >= kMaxFds || !fd_state[fd].read_fault || !cfg.fail_file_read.fires())
    return false;
  errno = EIO;
  return true;
}

// The fault fail_open: true (errno EACCES) when this open of the launcher's is to fail.
static bool open_refused(const char* path) {
  if (!cfg.main || !cfg.fail_open.is_on(path) || !cfg.fail_open.fires()) return false;
  errno = EACCES;
  return true;
}

int open(const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<open_fn>("open");
  if (open_refused(path)) return -1;
  return after_open(fn(path, flags, mode), path);
}
int open64(const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<open_fn>("open64");
  if (open_refused(path)) return -1;
  return after_open(fn(path, flags, mode), path);
}
int openat(int dirfd, const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<openat_fn>("openat");
  return after_open(fn(dirfd, path, flags, mode));
}
int openat64(int dirfd, const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<openat_fn>("openat64");
  return after_open(fn(dirfd, path, flags, mode));
}
int __open_2(const char* path, int flags) {
  return open(path, flags);
}
int __open64_2(const char* path, int flags) {
  return open64(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags) {
  return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags) {
  return openat64(dirfd, path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (const Device* dev = device_of(fd)) {
    return dev->kind == Kind::kMtd ? mtd_ioctl(fd, dev, request, arg)
                                   : i2c_ioctl(fd, dev, request, arg);
  }
  int result = 0;
  if (fd >= 0 && fd < kMaxFds && fd_state[fd].inet_socket && net_ioctl(request, arg, &result))
    return result;
  static auto fn = real<ioctl_fn>("ioctl");
  return fn(fd, request, arg);
}

int socket(int domain, int type, int protocol) {
  init();
  static auto fn = real<int (*)(int, int, int)>("socket");
  const int fd = after_open(fn(domain, type, protocol));
  if (fd >= 0 && fd < kMaxFds) fd_state[fd].inet_socket = cfg.main && domain == AF_INET;
  return fd;
}

ssize_t pread64(int fd, void* buf, size_t n, off64_t off) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kMtd) return mtd_pread(fd, dev, buf, n, off);
  if (read_refused(fd)) return -1;
  return raw_pread(fd, buf, n, off);
}
ssize_t pread(int fd, void* buf, size_t n, off_t off) {
  return pread64(fd, buf, n, off);
}
ssize_t __pread_chk(int fd, void* buf, size_t n, off_t off, size_t) {
  return pread64(fd, buf, n, off);
}
ssize_t __pread64_chk(int fd, void* buf, size_t n, off64_t off, size_t) {
  return pread64(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kMtd) return mtd_pwrite(fd, dev, buf, n, off);
  const ssize_t r = raw_pwrite(fd, buf, n, off);
  if (r > 0) after_write(fd, nullptr);
  return r;
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  return pwrite64(fd, buf, n, off);
}

ssize_t read(int fd, void* buf, size_t n) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kI2c) return i2c_read(fd, dev, static_cast<uint8_t*>(buf), n);
  if (dev && dev->kind == Kind::kMtd) {
    const off64_t pos = lseek64(fd, 0, SEEK_CUR);
    const ssize_t r = mtd_pread(fd, dev, buf, n, pos);
    if (r > 0) lseek64(fd, pos + r, SEEK_SET);
    return r;
  }
  if (read_refused(fd)) return -1;
  static auto fn = real<read_fn>("read");
  return fn(fd, buf, n);
}
ssize_t __read_chk(int fd, void* buf, size_t n, size_t) {
  return read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kI2c)
    return i2c_write(fd, dev, static_cast<const uint8_t*>(buf), n);
  if (dev && dev->kind == Kind::kMtd) {
    const off64_t pos = lseek64(fd, 0, SEEK_CUR);
    const ssize_t r = mtd_pwrite(fd, dev, buf, n, pos);
    if (r > 0) lseek64(fd, pos + r, SEEK_SET);
    return r;
  }
  const ssize_t r = raw_write(fd, buf, n);
  if (r > 0) after_write(fd, nullptr);
  return r;
}

// A closed descriptor's number goes to the next file, pipe or socket: what was known of it goes.
int close(int fd) {
  if (fd >= 0 && fd < kMaxFds) fd_state[fd] = FdState{};
  static auto fn = real<int (*)(int)>("close");
  return fn(fd);
}

// cp copies with copy_file_range, which would bypass the write counting of power cuts; refusing
// it makes cp fall back to read and write.
ssize_t copy_file_range(int, off64_t*, int, off64_t*, size_t, unsigned int) {
  errno = EXDEV;
  return -1;
}

// The board's terminals are pseudo-terminals, which have no output queue: what the launcher wrote
// is already with the far end, as on a real line once tcdrain has returned. Flushing output
// would take those bytes back from the far end (a last ACK before the line is handed back), which
// no real line does after a drain, so only input is flushed.
int tcflush(int fd, int queue) {
  init();
  static auto fn = real<int (*)(int, int)>("tcflush");
  if (cfg.main && queue == TCOFLUSH) return 0;
  return fn(fd, cfg.main && queue == TCIOFLUSH ? TCIFLUSH : queue);
}

int system(const char* command) {
  init();
  if (cfg.main && command) {
    log_command(command);
    if (cfg.fail_system[0] && !strncmp(command, cfg.fail_system, strlen(cfg.fail_system))) {
      errno = EAGAIN;
      return -1;
    }
  }
  static auto fn = real<int (*)(const char*)>("system");
  return fn(command);
}

int execve(const char* path, char* const argv[], char* const envp[]) {
  init();
  if (!log_exec(path, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*, char* const*)>("execve");
  return fn(path, argv, envp);
}
int execv(const char* path, char* const argv[]) {
  init();
  if (!log_exec(path, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*)>("execv");
  return fn(path, argv);
}
int execvp(const char* file, char* const argv[]) {
  init();
  if (!log_exec(file, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*)>("execvp");
  return fn(file, argv);
}
int execvpe(const char* file, char* const argv[], char* const envp[]) {
  init();
  if (!log_exec(file, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*, char* const*)>("execvpe");
  return fn(file, argv, envp);
}
int execl(const char* path, const char* arg, ...) {
  char* argv[64];
  va_list ap;
  va_start(ap, arg);
  collect_args(arg, ap, argv, nullptr);
  va_end(ap);
  return execv(path, argv);
}
int execlp(const char* file, const char* arg, ...) {
  char* argv[64];
  va_list ap;
  va_start(ap, arg);
  collect_args(arg, ap, argv, nullptr);
  va_end(ap);
  return execvp(file, argv);
}
int execle(const char* path, const char* arg, ...) {
  char* argv[64];
  char** envp = nullptr;
  va_list ap;
  va_start(ap, arg);
  collect_args(arg, ap, argv, &envp);
  va_end(ap);
  return execve(path, argv, envp);
}

unsigned int sleep(unsigned int seconds) {
  init();
  note_sleep(seconds);
  const struct timespec want = {static_cast<time_t>(seconds), 0};
  const struct timespec ts = scaled(&want);
  static auto fn = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  struct timespec rem = {0, 0};
  if (fn(&ts, &rem) == 0) return 0;
  return static_cast<unsigned>(static_cast<double>(rem.tv_sec) * scale());
}

int usleep(useconds_t usec) {
  init();
  note_sleep(usec / 1e6);
  const struct timespec want = {static_cast<time_t>(usec / 1000000),
                                static_cast<long>(usec % 1000000) * 1000};
  const struct timespec ts = scaled(&want);
  static auto fn = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  return fn(&ts, nullptr);
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
  init();
  if (!req) return EFAULT;
  note_sleep(static_cast<double>(req->tv_sec) + static_cast<double>(req->tv_nsec) / 1e9);
  const struct timespec ts = scaled(req);
  static auto fn = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  return fn(&ts, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem) {
  init();
  static auto fn =
      real<int (*)(clockid_t, int, const struct timespec*, struct timespec*)>("clock_nanosleep");
  if (flags & TIMER_ABSTIME || !req) return fn(clock, flags, req, rem);
  note_sleep(static_cast<double>(req->tv_sec) + static_cast<double>(req->tv_nsec) / 1e9);
  const struct timespec ts = scaled(req);
  return fn(clock, flags, &ts, rem);
}

int poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
  init();
  if (timeout_ms > 0) note_sleep(timeout_ms / 1e3);
  static auto fn = real<int (*)(struct pollfd*, nfds_t, int)>("poll");
  return fn(fds, n, scaled_ms(timeout_ms));
}
int __poll_chk(struct pollfd* fds, nfds_t n, int timeout_ms, size_t) {
  return poll(fds, n, timeout_ms);
}

int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
  init();
  static auto fn = real<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select");
  if (!tv) return fn(n, r, w, e, tv);
  const struct timespec want = {tv->tv_sec, tv->tv_usec * 1000};
  note_sleep(static_cast<double>(want.tv_sec) + static_cast<double>(want.tv_nsec) / 1e9);
  const struct timespec ts = scaled(&want);
  struct timeval stv = {ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
  return fn(n, r, w, e, &stv);
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
  init();
  static auto fn = real<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  const int r = fn(clock, ts);
  if (r == 0 && cfg.main) scale_clock(clock, ts);
  return r;
}

int gettimeofday(struct timeval* tv, void* tz) {
  init();
  static auto fn = real<int (*)(struct timeval*, void*)>("gettimeofday");
  if (!cfg.main) return fn(tv, tz);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  return 0;
}

time_t time(time_t* out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out) *out = ts.tv_sec;
  return ts.tv_sec;
}

}  // extern "C"
