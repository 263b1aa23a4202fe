// The console and the serial line: pseudo-terminals standing in for the switch's UART.
#include "emu.h"

using namespace emu;

extern "C" {

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

}  // extern "C"
