// A stand-in launcher for testing the virtual board itself: it reads commands from standard
// input, one per line, performs them through the same Linux interfaces the launcher uses, and
// prints what it saw. Built for the host and for PowerPC like the launcher.
//
//   info PART                 MEMGETINFO: "size=N erasesize=N" or "error=ERRNO"
//   erase PART OFFSET LENGTH  MEMERASE: "ok" or "error=ERRNO"
//   write PART OFFSET HEX     pwrite: "wrote=N" or "error=ERRNO"
//   read PART OFFSET LENGTH   pread: "read=HEX" or "error=ERRNO"
//   i2c BUS ADDR w HEX        select ADDR on /dev/i2c-BUS and write the bytes
//   i2c BUS ADDR r LENGTH     select and read
//   smbus BUS ADDR REG [VAL]  I2C_SMBUS byte-data read (or write when VAL is given)
//   sleep SECONDS | usleep US | poll MS    report the real time taken in ms
//   wait MS                   sleep MS of board time, silently
//   clock SECONDS             sleep on a real timer and report the board clock's advance
//   system LINE               run LINE (\\n: a newline) through the shell: "status=N"
//   userwrite PATH TEXT       write a file (power-cut counting)
//   getc                      one raw key: "key=N"
//   exec PATH                 execlp PATH
//   exit N                    exit with status N
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile sig_atomic_t interrupted = 0;
void on_sigint(int) {
  interrupted = 1;
}

int open_part(const char* part) {
  char path[64];
  snprintf(path, sizeof path, "/dev/mtd-%s", part);
  return open(path, O_RDWR | O_SYNC);
}

// Prints "error=ERRNO" for a failed transfer, else the bytes read ("read=HEX") or the count of
// bytes written ("wrote=N").
void report(ssize_t n, const uint8_t* read_bytes) {
  if (n < 0) {
    printf("error=%d\n", errno);
  } else if (read_bytes) {
    printf("read=");
    for (ssize_t i = 0; i < n; ++i) printf("%02x", read_bytes[i]);
    printf("\n");
  } else {
    printf("wrote=%zd\n", n);
  }
}

size_t parse_hex(const char* s, uint8_t* out, size_t max) {
  size_t n = 0;
  while (s[0] && s[1] && n < max) {
    unsigned v = 0;
    if (sscanf(s, "%2x", &v) != 1) break;
    out[n++] = static_cast<uint8_t>(v);
    s += 2;
  }
  return n;
}

double now_ms(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void cmd_mtd(const char* op, char* rest) {
  char part[32];
  unsigned long a = 0, b = 0;
  char hex[4096] = {};
  const int n = sscanf(rest, "%31s %li %4095s", part, &a, hex);
  sscanf(rest, "%31s %li %li", part, &a, &b);
  const int fd = open_part(part);
  if (fd < 0 || n < 1) {
    printf("error=%d\n", errno);
    return;
  }
  if (!strcmp(op, "info")) {
    mtd_info_user info = {};
    if (ioctl(fd, MEMGETINFO, &info) != 0)
      printf("error=%d\n", errno);
    else
      printf("size=%u erasesize=%u\n", info.size, info.erasesize);
  } else if (!strcmp(op, "erase")) {
    erase_info_user e = {static_cast<uint32_t>(a), static_cast<uint32_t>(b)};
    if (ioctl(fd, MEMERASE, &e) != 0)
      printf("error=%d\n", errno);
    else
      printf("ok\n");
  } else if (!strcmp(op, "write")) {
    uint8_t data[2048];
    const size_t len = parse_hex(hex, data, sizeof data);
    report(pwrite(fd, data, len, static_cast<off_t>(a)), nullptr);
  } else {
    uint8_t data[4096];
    report(pread(fd, data, b < sizeof data ? b : sizeof data, static_cast<off_t>(a)), data);
  }
  close(fd);
}

void cmd_i2c(char* rest) {
  int bus = 0;
  unsigned addr = 0;
  char dir = 0;
  char arg[512] = {};
  if (sscanf(rest, "%d %x %c %511s", &bus, &addr, &dir, arg) != 4) return;
  char path[32];
  snprintf(path, sizeof path, "/dev/i2c-%d", bus);
  const int fd = open(path, O_RDWR);
  if (fd < 0) {
    printf("open error=%d\n", errno);
    return;
  }
  if (ioctl(fd, I2C_SLAVE, addr) < 0) printf("slave error=%d\n", errno);
  uint8_t data[256];
  if (dir == 'w') {
    const size_t len = parse_hex(arg, data, sizeof data);
    report(write(fd, data, len), nullptr);
  } else {
    report(read(fd, data, strtoul(arg, nullptr, 0) % sizeof data), data);
  }
  close(fd);
}

void cmd_smbus(char* rest) {
  int bus = 0;
  unsigned addr = 0, reg = 0, val = 0;
  const int n = sscanf(rest, "%d %x %x %x", &bus, &addr, &reg, &val);
  char path[32];
  snprintf(path, sizeof path, "/dev/i2c-%d", bus);
  const int fd = open(path, O_RDWR);
  if (fd < 0 || n < 3) {
    printf("open error=%d\n", errno);
    return;
  }
  ioctl(fd, I2C_SLAVE, addr);
  i2c_smbus_data data = {};
  data.byte = static_cast<uint8_t>(val);
  i2c_smbus_ioctl_data req = {static_cast<uint8_t>(n == 4 ? I2C_SMBUS_WRITE : I2C_SMBUS_READ),
                              static_cast<uint8_t>(reg), I2C_SMBUS_BYTE_DATA, &data};
  if (ioctl(fd, I2C_SMBUS, &req) < 0)
    printf("error=%d\n", errno);
  else
    printf("byte=0x%02x\n", data.byte);
  close(fd);
}

// Waits through the interface named by op; the caller reports the real time it took, read from
// CLOCK_MONOTONIC_RAW, which the emulator leaves unscaled.
void cmd_wait(const char* op, char* rest) {
  if (!strcmp(op, "sleep")) sleep(static_cast<unsigned>(atoi(rest)));
  if (!strcmp(op, "usleep")) usleep(static_cast<useconds_t>(atol(rest)));
  if (!strcmp(op, "poll")) poll(nullptr, 0, atoi(rest));
}

}  // namespace

int main() {
  struct sigaction sa = {};
  sa.sa_handler = on_sigint;
  sigaction(SIGINT, &sa, nullptr);
  setvbuf(stdout, nullptr, _IONBF, 0);
  char line[8192];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\n")] = 0;
    char op[32] = {};
    int used = 0;
    if (sscanf(line, "%31s %n", op, &used) < 1) continue;
    char* rest = line + used;
    if (!strcmp(op, "info") || !strcmp(op, "erase") || !strcmp(op, "write") ||
        !strcmp(op, "read")) {
      cmd_mtd(op, rest);
    } else if (!strcmp(op, "i2c")) {
      cmd_i2c(rest);
    } else if (!strcmp(op, "smbus")) {
      cmd_smbus(rest);
    } else if (!strcmp(op, "sleep") || !strcmp(op, "usleep") || !strcmp(op, "poll")) {
      struct timespec a, b;
      clock_gettime(CLOCK_MONOTONIC_RAW, &a);
      cmd_wait(op, rest);
      clock_gettime(CLOCK_MONOTONIC_RAW, &b);
      printf("real_ms=%ld\n",
             static_cast<long>((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000));
    } else if (!strcmp(op, "wait")) {
      usleep(static_cast<useconds_t>(atol(rest) * 1000));
    } else if (!strcmp(op, "clock")) {
      // The board clock across a sleep of the same board length advances by that length.
      const double t0 = now_ms(CLOCK_MONOTONIC);
      struct timespec req = {atoi(rest), 0};
      nanosleep(&req, nullptr);
      printf("board_ms=%ld\n", static_cast<long>(now_ms(CLOCK_MONOTONIC) - t0));
    } else if (!strcmp(op, "system")) {
      // "\n" in the line stands for a newline inside the command.
      for (char* at = strstr(rest, "\\n"); at; at = strstr(at, "\\n")) {
        *at = '\n';
        memmove(at + 1, at + 2, strlen(at + 2) + 1);
      }
      const int st = system(rest);
      printf("status=%d\n", st);
    } else if (!strcmp(op, "userwrite")) {
      char path[256] = {}, text[256] = {};
      sscanf(rest, "%255s %255s", path, text);
      const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const ssize_t w = fd < 0 ? -1 : write(fd, text, strlen(text));
      if (fd >= 0) close(fd);
      printf("written=%zd\n", w);
    } else if (!strcmp(op, "getc")) {
      struct termios old, raw;
      tcgetattr(0, &old);
      raw = old;
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      tcsetattr(0, TCSANOW, &raw);
      unsigned char c = 0;
      const ssize_t n = read(0, &c, 1);
      tcsetattr(0, TCSANOW, &old);
      printf("key=%d n=%zd interrupted=%d\n", c, n, static_cast<int>(interrupted));
    } else if (!strcmp(op, "exec")) {
      execlp(rest, rest, static_cast<char*>(nullptr));
      printf("exec error=%d\n", errno);
    } else if (!strcmp(op, "exit")) {
      return atoi(rest);
    }
  }
  return 0;
}
