// Handing the serial line over to a file transfer and back; the XMODEM-1K receiver.
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

// ---- XMODEM-1K receiver ---------------------------------------------------------------------

namespace {

constexpr std::array<uint16_t, 256> make_crctab() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; i++) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; bit++) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    t[i] = static_cast<uint16_t>(crc);
  }
  return t;
}

}  // namespace

constexpr std::array<uint16_t, 256> crctab = make_crctab();

namespace {

constexpr unsigned char kSoh = 0x01;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kCrcRequest = 'C';

// errorflag bits: what went wrong in the current cycle of the receive loop.
constexpr uint32_t kErrAfterEot = 0x1;       // an unexpected byte after EOT and its NAK
constexpr uint32_t kErrHeaderTimeout = 0x2;  // no block header in time
constexpr uint32_t kErrLoneCan = 0x4;        // a CAN not confirmed by a second one
constexpr uint32_t kErrCrc = 0x8;            // the block's CRC does not match (or never came)
constexpr uint32_t kErrNoData = 0x10;        // not one data byte of the block arrived
constexpr uint32_t kErrBlockZero = 0x20;     // block 0 before the first good block
constexpr uint32_t kErrSequence = 0x40;      // neither the next block nor a repeat: fatal
constexpr uint32_t kErrComplement = 0x80;    // number and complement disagree (or never came)
constexpr uint32_t kErrEarlyAck = 0x100;     // an ACK before the first good block
constexpr uint32_t kErrEotNotAlone = 0x200;  // an EOT with more bytes right behind it
// Errors of a block that came (or began to): its bytes may still be on their way.
constexpr uint32_t kBlockErrors = kErrCrc | kErrNoData | kErrBlockZero | kErrComplement |
                                  kErrEotNotAlone;
// A sender waits for the answer to its EOT, so nothing follows a real one; bytes right behind
// an EOT (within this many milliseconds, some 200 byte times at 115200 bps) make it a damaged
// block header.
constexpr int kLoneEotMs = 20;

unsigned char buffer[1024];
uint32_t errorflag;

// One transfer in progress.
struct Transfer {
  int fd;
  FILE* file;
  unsigned char header = 0;     // the header byte of the current cycle
  unsigned char last_good = 0;  // the number of the last good block
  int total = 0;                // data bytes written
  bool got_block = false;       // a good block has been received
  int header_timeout = 1;       // seconds; 5 once the sender has started
  int retries = 0;              // errors in a row since the last good block
  bool abort = false;
};

ssize_t putByte(unsigned char c, int fd) {
  return write(fd, &c, 1);
}

// The line is non-blocking: polls it every millisecond, timeout * 1000 times at most. 1 with the
// byte stored, -1 when nothing came (the byte is left as it was).
int getByte(int timeout, unsigned char* c, int fd) {
  for (long tries = timeout * 1000L; tries > 0; tries--) {
    if (read(fd, c, 1) == 1) return 1;
    usleep(1000);
  }
  return -1;
}

void flushRX(int fd) {
  unsigned char c;
  while (read(fd, &c, 1) == 1) {
  }
}

// True when nothing arrives on the line for kLoneEotMs; a byte that does is dropped.
bool lone(int fd) {
  unsigned char c;
  for (int ms = 0; ms < kLoneEotMs; ms++) {
    if (read(fd, &c, 1) == 1) return false;
    usleep(1000);
  }
  return true;
}

// Drops whatever the sender still has on its way until the line has been silent for seconds.
void drop_until_silent(int fd, int seconds) {
  flushRX(fd);
  unsigned char c;
  while (getByte(seconds, &c, fd) > 0) {
  }
}

// Reads up to wanted bytes of block data into buf and their CRC into *crc. A pause of a second
// ends one pass of reads; the block ends when it is complete or a pass brings nothing. Returns
// the number of bytes stored.
int readData(unsigned char* buf, int wanted, uint16_t* crc, int fd) {
  uint16_t sum = 0;
  int count = 0;
  while (wanted > 0) {
    int got = 0;
    while (got < wanted && getByte(1, &buf[count + got], fd) > 0) got++;
    if (got == 0) break;
    for (int i = count; i < count + got; i++)
      sum = static_cast<uint16_t>((sum << 8) ^ crctab[((sum >> 8) ^ buf[i]) & 0xFF]);
    count += got;
    wanted -= got;
  }
  *crc = sum;
  return count;
}

// Waits for a block header, EOT, or (until the first good block) ACK or CAN; skips anything
// else. false when the header timeout ran out.
bool wait_header(Transfer& t) {
  for (;;) {
    if (getByte(t.header_timeout, &t.header, t.fd) < 0) return false;
    if (t.header == kSoh || t.header == kStx || t.header == kEot) return true;
    if ((t.header == kAck || t.header == kCan) && !t.got_block) return true;
  }
}

// A lone EOT is answered with NAK: a second lone EOT, or silence, confirms the end. The next
// cycle starts for a block header (or ACK, CAN before the first block); anything else is an
// error. An EOT with bytes behind it is the damaged header of a block whose data is still
// coming: an error, so that the block is asked for again (and not taken for the end).
void after_eot(Transfer& t) {
  if (!lone(t.fd)) {
    t.header = 0;
    errorflag |= kErrEotNotAlone;
    return;
  }
  fputs("EOT\n", stderr);
  flushRX(t.fd);
  putByte(kNak, t.fd);
  unsigned char next = kEot;
  if (getByte(5, &next, t.fd) < 0) return;
  if (next == kEot && lone(t.fd)) return;
  t.header = next;
  if (next == kSoh || next == kStx) return;
  if ((next == kAck || next == kCan) && !t.got_block) return;
  t.header = 0;
  errorflag |= next == kEot ? kErrEotNotAlone : kErrAfterEot;
}

void after_can(Transfer& t) {
  fputs("CAN\n", stderr);
  unsigned char next = 0;
  if (getByte(3, &next, t.fd) < 0 || (next & 0x7F) != kCan) errorflag |= kErrLoneCan;
}

// Writes a good block before it is acknowledged: the file holds every block the sender was
// told it got. false when the data did not reach the file.
bool store(Transfer& t, int count) {
  if (fwrite(buffer, 1, static_cast<size_t>(count), t.file) == static_cast<size_t>(count) &&
      fflush(t.file) == 0)
    return true;
  perror("Can't write file!");
  return false;
}

// The block numbered num, the next one in sequence: its data, CRC and, when good, the file.
void take_block(Transfer& t, unsigned char num, int size) {
  uint16_t crc = 0;
  const int count = readData(buffer, size, &crc, t.fd);
  if (count == 0) {
    errorflag |= kErrNoData;
    return;
  }
  unsigned char hi = 0, lo = 0;
  if (getByte(3, &hi, t.fd) < 0 || getByte(3, &lo, t.fd) < 0 || ((hi << 8) | lo) != crc) {
    errorflag |= kErrCrc;
    return;
  }
  t.retries = 0;
  t.total += count;
  t.got_block = true;
  t.last_good = num;
  if (!store(t, count)) {
    t.abort = true;
    return;
  }
  flushRX(t.fd);
  putByte(kAck, t.fd);
}

void receive_block(Transfer& t) {
  const int size = t.header == kSoh ? 128 : 1024;
  if (!t.got_block) {
    t.retries = 0;
    t.header_timeout = 5;
  }
  unsigned char num = 0, complement = 0;
  if (getByte(3, &num, t.fd) < 0 || getByte(3, &complement, t.fd) < 0 || num + complement != 255) {
    errorflag |= kErrComplement;
  } else if (num == static_cast<unsigned char>(t.last_good + 1)) {
    take_block(t, num, size);
  } else if (num == 0 && !t.got_block) {
    errorflag |= kErrBlockZero;
  } else if (num == t.last_good) {
    // The sender missed our ACK and sent the block again: acknowledge, do not write it twice.
    drop_until_silent(t.fd, 1);
    putByte(kAck, t.fd);
  } else {
    errorflag |= kErrSequence;
    t.abort = true;
  }
}

void run_cycle(Transfer& t) {
  errorflag = 0;
  if (!wait_header(t)) {
    errorflag |= kErrHeaderTimeout;
    return;
  }
  if (t.header == kEot)
    after_eot(t);
  else if (t.header == kCan)
    after_can(t);
  else if (t.header == kAck)
    errorflag |= kErrEarlyAck;
  else
    receive_block(t);
}

// Before the first block the receiver keeps asking for one, once the rest of a refused block has
// passed (its data must not be read as headers); after it, an error is answered with NAK once
// the line is quiet, and the third in a row ends the transfer.
void handle_errors(Transfer& t) {
  if (errorflag == 0 || t.abort) return;
  if (!t.got_block) {
    if (errorflag & kBlockErrors) drop_until_silent(t.fd, 1);
    putByte(kCrcRequest, t.fd);
    return;
  }
  if (++t.retries > 2) {
    t.abort = true;
    return;
  }
  drop_until_silent(t.fd, 2);
  putByte(kNak, t.fd);
}

// Ends the transfer: five CAN after a cancel, else the ACK of the EOT. The file keeps what was
// written.
int finish(Transfer& t, bool* cancelled) {
  *cancelled = t.abort;
  if (*cancelled) {
    for (int i = 0; i < 5; i++) putByte(kCan, t.fd);
    drop_until_silent(t.fd, 2);
  } else {
    putByte(kAck, t.fd);
    fputs("All done\n", stderr);
  }
  return *cancelled ? 0 : t.total;
}

}  // namespace

int xmodem_transfer(int fd, FILE* file, bool* cancelled) {
  Transfer t{fd, file};
  flushRX(fd);
  putByte(kCrcRequest, fd);
  do {
    run_cycle(t);
    handle_errors(t);
  } while (t.header != kEot && !t.abort);
  return finish(t, cancelled);
}

int xmodem_receive(const char* path, bool* cancelled) {
  *cancelled = false;
  const int fd = init_serial();
  if (fd < 0) return -1;  // no line to receive on
  FILE* file = fopen(path, "wb");
  if (!file) {
    perror("Can't open file!");
    reset_serial(fd);
    close(fd);
    return -1;
  }
  const int total = xmodem_transfer(fd, file, cancelled);
  reset_serial(fd);
  close(fd);
  fclose(file);
  return total;
}

int Xmodem1K(const char* path) {
  bool cancelled = false;
  return xmodem_receive(path, &cancelled);
}
