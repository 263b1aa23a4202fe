// Handing the serial line over to a file transfer and back.
#include "xmodem.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

struct termios oldtty;

namespace {

constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;
// One-second sleeps between two reminders, counted from 0: a reminder every 11 seconds.
constexpr int kReminderCount = 10;

const char* const kInitReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r";
const char* const kResetReminder = "\r\n    ... Waiting for the <ENTER> key to be hit...\r";

// Waits until the operator's terminal sends key. Anything else is what a terminal still at the
// other speed makes of a key press, so it is dropped; the line is non-blocking, so each miss
// costs one second.
void wait_for_key(int fd, unsigned char key, const char* reminder) {
  int count = 0;
  for (;;) {
    unsigned char c = 0;
    if (read(fd, &c, 1) == 1 && c == key) return;
    sleep(1);
    if (count == kReminderCount) {
      count = 0;
      printf("%s\n", reminder);
      fflush(stdout);
    } else {
      count++;
    }
  }
}

// 115200 bps, 8N1, no input or output processing, no line editing, echo or signal keys.
// Modem control, receiver enable and the control characters stay as the console had them.
struct termios download_settings(const struct termios& console) {
  struct termios tty = console;
  cfsetispeed(&tty, B115200);
  cfsetospeed(&tty, B115200);
  tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
  tty.c_cflag |= CS8;
  tty.c_iflag = IGNBRK;
  tty.c_oflag = 0;
  tty.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);
  return tty;
}

// Lets queued output go out at the current speed, then drops whatever is still queued.
void drain_and_flush(int fd) {
  tcdrain(fd);
  tcflush(fd, TCIOFLUSH);
}

void apply_settings(int fd, const struct termios& tty) {
  tcsetattr(fd, TCSADRAIN, &tty);
  tcflow(fd, TCOON);
}

}  // namespace

int init_serial() {
  const int fd = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    perror("Can't open serial port!");
    return -1;
  }
  printf("       Change the baud rate to 115200 bps and hit the <ENTER> key\n");
  printf("       before initiating the download.\n");
  fflush(stdout);  // the instructions must reach the operator before the speed changes
  drain_and_flush(fd);
  tcgetattr(fd, &oldtty);
  apply_settings(fd, download_settings(oldtty));
  wait_for_key(fd, kCr, kInitReminder);
  return fd;
}

void reset_serial(int fd) {
  if (fd < 0) return;  // the line was never opened: nothing to restore or wait on
  printf("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
  fflush(stdout);
  drain_and_flush(fd);
  apply_settings(fd, oldtty);
  // The console settings turn the Enter key's CR into LF again.
  wait_for_key(fd, kLf, kResetReminder);
}
