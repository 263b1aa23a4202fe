// The board's configuration and device table, its logs and statistics, and power cuts.
#include "emu.h"

namespace emu {

Config cfg;
FdState fd_state[kMaxFds];

namespace {

bool initialised = false;

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

}  // namespace

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

namespace {

__attribute__((constructor)) void emu_constructor() {
  init();
}

}  // namespace

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

namespace {

double start_monotonic = -1;

__attribute__((constructor)) void start_clock() {
  start_monotonic = real_seconds(CLOCK_MONOTONIC);
}

}  // namespace

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

// ---- Power cuts -----------------------------------------------------------------------------

namespace {

__attribute__((destructor)) void emu_destructor() {
  write_stats();
}

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

}  // namespace

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

}  // namespace emu
