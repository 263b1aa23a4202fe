// Handing the serial line /dev/ttyS0 over to a file transfer at 115200 bps and back.
#pragma once

#include <termios.h>

// The line's settings as init_serial found them; reset_serial restores exactly these.
extern struct termios oldtty;

// Opens /dev/ttyS0, switches it to download settings and waits for Enter at the new speed.
// Returns the descriptor, or -1 when the line cannot be opened.
int init_serial();
// Restores the saved settings and waits for Enter at the old speed; returns at once for -1.
void reset_serial(int fd);
