// The virtual board's device emulator: preloaded (LD_PRELOAD) into every process that the sandbox
// starts, it gives the unchanged launcher what plain files cannot:
//  - MTD character devices with NOR semantics (MEMGETINFO, MEMERASE, writes that only clear bits,
//    reads and writes clamped at the partition end, per-block erase counts): emu_mtd.cpp,
//  - i2c-dev with the VPD EEPROM at bus 0 address 0x54 and the register device at bus 1 address
//    0x20, backed by files of the board directory, with a transfer log: emu_i2c.cpp,
//  - the console and serial line as pseudo-terminals: emu_tty.cpp,
//  - the management port eth0 as the launcher's own sockets see it (index, flags, link):
//    emu_net.cpp,
//  - scaled time for the launcher's sleeps, waits and clocks: emu_clock.cpp,
//  - the board's configuration, a log of every command line the launcher runs through the shell
//    or exec, fault injection (failing, short, half-erasing or silently lost MTD operations, a
//    busy I2C bus, failing shell commands) and power cuts after the Nth write to flash or to
//    /user, with the run's writes counted for kvzsim to report: emu_faults.cpp,
//  - and the interposed file, shell and exec entry points that hand each call to them: emu.cpp.
//
// The launcher is the process whose argv[0] equals $KVZEMU_MAIN; only it is logged, time-scaled
// and device-emulated. Other processes (the shell, tar, cp) only count writes for power cuts.
// Everything is configured by the files under $KVZEMU (the run directory made by kvzsim).
#pragma once

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

namespace emu {

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
inline int raw_open(const char* path, int flags, mode_t mode = 0) {
  static auto fn = real<open_fn>("open");
  return fn(path, flags, mode);
}
inline ssize_t raw_pread(int fd, void* buf, size_t n, off64_t off) {
  static auto fn = real<pread64_fn>("pread64");
  return fn(fd, buf, n, off);
}
inline ssize_t raw_pwrite(int fd, const void* buf, size_t n, off64_t off) {
  static auto fn = real<pwrite64_fn>("pwrite64");
  return fn(fd, buf, n, off);
}
inline ssize_t raw_write(int fd, const void* buf, size_t n) {
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

extern Config cfg;

struct FdState {
  int i2c_slave = -1;
  bool inet_socket = false;  // an AF_INET socket the launcher opened
  bool read_fault = false;   // opened by the launcher by the path of fail_read
  int8_t user = -1;          // a file under /user: 1, 0, or -1 not known yet
};
extern FdState fd_state[kMaxFds];

// ---- Shared between the emulator's parts ----------------------------------------------------

// Reads the configuration once per process (every entry point calls it first).
void init();
// The emulated device an open descriptor of the launcher is, or nullptr.
const Device* device_of(int fd);

// Logs and markers in the board and run directories.
void append_file(const char* rel_board_path, const char* text);
void touch_marker(const char* name);
void log_command(const char* line);
void log_i2c(const char* fmt, ...);
void hex_bytes(char* out, size_t out_size, const uint8_t* b, size_t n);
double real_seconds(clockid_t clock);
extern double slept_seconds;  // board time the launcher asked to sleep or wait
// Writes what benchmarks read: the launcher's run time, its sleeps and its peak memory.
void write_stats();

// Faults and power cuts.
// Counts a write to a file (dev null) or an MTD device, and cuts the power when it is time.
void after_write(int fd, const Device* dev);

// The devices.
ssize_t mtd_pread(int fd, const Device* dev, void* buf, size_t n, off64_t off);
ssize_t mtd_pwrite(int fd, const Device* dev, const void* buf, size_t n, off64_t off);
int mtd_ioctl(int fd, const Device* dev, unsigned long request, void* arg);
ssize_t i2c_write(int fd, const Device* dev, const uint8_t* b, size_t n);
ssize_t i2c_read(int fd, const Device* dev, uint8_t* b, size_t n);
int i2c_ioctl(int fd, const Device* dev, unsigned long request, void* arg);
// The management port's interface requests; false when the request is none of them.
bool net_ioctl(unsigned long request, void* arg, int* result);

// Board time.
double scale();
struct timespec scaled(const struct timespec* ts);
int scaled_ms(int timeout_ms);
void note_sleep(double seconds);
void scale_clock(clockid_t clock, struct timespec* ts);
double board_seconds();

}  // namespace emu
