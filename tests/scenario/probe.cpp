// A stand-in launcher for testing the virtual board itself: it reads commands from standard
// input, one per line, performs them through the same Linux interfaces the launcher uses, and
// prints what it saw ("error=ERRNO" for a failed call). Built for the host and for PowerPC.
//
//   erase PART OFFSET LENGTH  MEMERASE: "ok"
//   write PART OFFSET HEX     pwrite: "wrote=N"
//   read PART OFFSET LENGTH   pread: "read=HEX"
//   i2c BUS ADDR w HEX        select ADDR on /dev/i2c-BUS and write the bytes: "wrote=N"
//   i2c BUS ADDR r LENGTH     select and read: "read=HEX"
//   wait MS                   sleep MS of board time, silently
//   exec PATH                 execlp PATH: "exec error=ERRNO" when it returns
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

bool is(const char* op, const char* name) {
  return strcmp(op, name) == 0;
}

size_t parse_hex(const char* s, uint8_t* out, size_t max) {
  size_t n = 0;
  for (unsigned v = 0; s[0] && s[1] && n < max && sscanf(s, "%2x", &v) == 1; s += 2)
    out[n++] = static_cast<uint8_t>(v);
  return n;
}

void cmd_mtd(const char* op, const char* rest) {
  char part[32] = {}, hex[4096] = {}, path[64];
  unsigned long a = 0, b = 0;
  sscanf(rest, "%31s %li %4095s", part, &a, hex);
  sscanf(rest, "%31s %li %li", part, &a, &b);
  snprintf(path, sizeof path, "/dev/mtd-%s", part);
  const int fd = open(path, O_RDWR | O_SYNC);
  uint8_t data[4096];
  erase_info_user e = {static_cast<uint32_t>(a), static_cast<uint32_t>(b)};
  if (fd < 0)
    printf("error=%d\n", errno);
  else if (is(op, "erase"))
    ioctl(fd, MEMERASE, &e) == 0 ? printf("ok\n") : printf("error=%d\n", errno);
  else if (is(op, "write"))
    report(pwrite(fd, data, parse_hex(hex, data, 2048), static_cast<off_t>(a)), nullptr);
  else
    report(pread(fd, data, b < sizeof data ? b : sizeof data, static_cast<off_t>(a)), data);
  if (fd >= 0) close(fd);
}

void cmd_i2c(const char* rest) {
  int bus = 0;
  unsigned addr = 0;
  char dir = 0, arg[512] = {}, path[32];
  const int n = sscanf(rest, "%d %x %c %511s", &bus, &addr, &dir, arg);
  snprintf(path, sizeof path, "/dev/i2c-%d", bus);
  const int fd = open(path, O_RDWR);
  if (fd < 0 || n < 4) {
    printf("open error=%d\n", errno);
    return;
  }
  if (ioctl(fd, I2C_SLAVE, addr) < 0) printf("slave error=%d\n", errno);
  uint8_t data[256];
  if (dir == 'w')
    report(write(fd, data, parse_hex(arg, data, sizeof data)), nullptr);
  else
    report(read(fd, data, strtoul(arg, nullptr, 0) % sizeof data), data);
  close(fd);
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char line[8192], op[32];
  while (fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\n")] = 0;
    int used = 0;
    if (sscanf(line, "%31s %n", op, &used) < 1) continue;
    const char* rest = line + used;
    if (is(op, "erase") || is(op, "write") || is(op, "read")) {
      cmd_mtd(op, rest);
    } else if (is(op, "i2c")) {
      cmd_i2c(rest);
    } else if (is(op, "wait")) {
      usleep(static_cast<useconds_t>(atol(rest) * 1000));
    } else if (is(op, "exec")) {
      execlp(rest, rest, static_cast<char*>(nullptr));
      printf("exec error=%d\n", errno);
    }
  }
  return 0;
}
