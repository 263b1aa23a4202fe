// The XMODEM receiver's block handling on a line whose far end plays the fuzz bytes.
//
// Byte 0, bit 0: the file is /dev/full, so that storing a block fails. The rest are the sender's
// bursts: a length byte and as many bytes; length 0 is a second of silence (the first 6 times,
// then a millisecond). The receiver polls the line every millisecond; this program's usleep is
// that millisecond on the sender's clock, and the next burst goes out when the receiver finds the
// line empty, so nothing waits in real time. After its last burst the sender sends 1100 EOT at
// once, which complete any block and its CRC, and then answers every 'C' or NAK with EOT; that
// ends any transfer with few of the receiver's timeouts. Checks: the transfer ends within two
// minutes of line time, a cancelled one gives 0, a finished one the number of bytes in the file.
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "fuzz.h"
#include "xmodem.h"

using kvzfuzz::fail;

namespace {

int line[2] = {-1, -1};  // the receiver's end, the sender's end
const uint8_t* next;
const uint8_t* end;
long clock_ms, quiet_ms;
int silences;  // seconds of silence still allowed: they cost the receiver's polls in real time
bool asked;    // a 'C' or NAK not yet answered after the bursts

void send_bytes(const uint8_t* p, size_t n) {
  if (send(line[1], p, n, MSG_DONTWAIT) != static_cast<ssize_t>(n)) fail("line full");
}

}  // namespace

extern "C" int usleep(useconds_t us) {
  if ((clock_ms += us / 1000) > 120 * 1000) fail("the transfer does not end");
  if (quiet_ms > 0) {
    quiet_ms--;
  } else if (next < end) {
    const size_t n = *next++;
    const size_t take = n < static_cast<size_t>(end - next) ? n : static_cast<size_t>(end - next);
    if (n == 0 && silences-- > 0) quiet_ms = 1000;
    send_bytes(next, take);
    if ((next += take) == end) {
      // The sender's end: enough EOT to complete any block and its CRC, then the end proper.
      static const std::vector<uint8_t> eots(1100, 4);
      send_bytes(eots.data(), eots.size());
    }
  } else {
    uint8_t reply[64];
    for (ssize_t n; (n = recv(line[1], reply, sizeof reply, MSG_DONTWAIT)) > 0;)
      for (ssize_t i = 0; i < n; ++i) asked |= reply[i] == 'C' || reply[i] == 0x15;
    if (asked) {
      asked = false;
      const uint8_t eot = 4;
      send_bytes(&eot, 1);
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const kvzfuzz::NoLeaks no_leaks;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, line) != 0) fail("socketpair");
  next = data + 1;
  end = data + size;
  clock_ms = quiet_ms = 0;
  silences = 6;
  asked = false;
  const bool full = data[0] & 1;
  FILE* file = full ? fopen("/dev/full", "wb") : fdopen(memfd_create("download", 0), "wb");
  if (!file) fail("file");
  bool cancelled = false;
  const int total = xmodem_transfer(line[0], file, &cancelled);
  if (total != (cancelled || full ? 0 : ftell(file))) fail("result does not match the file");
  fclose(file);
  close(line[0]);
  close(line[1]);
  return 0;
}
