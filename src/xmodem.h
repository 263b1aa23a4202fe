// Handing the serial line /dev/ttyS0 over to a file transfer at 115200 bps and back, and the
// built-in XMODEM-1K receiver that uses it.
#pragma once

#include <termios.h>

#include <array>
#include <cstdint>
#include <cstdio>

// The line's settings as init_serial found them; reset_serial restores exactly these.
extern struct termios oldtty;

// Opens /dev/ttyS0, switches it to download settings and waits for Enter at the new speed.
// Returns the descriptor, or -1 when the line cannot be opened.
int init_serial();
// Restores the saved settings and waits for Enter at the old speed; returns at once for -1.
void reset_serial(int fd);

// The byte-wise table of the CRC-16 with polynomial 0x1021 (initial value 0, no reflection, no
// final XOR), as XMODEM uses it: entry i is the register after shifting i through from 0.
extern const std::array<uint16_t, 256> crctab;

// Receives one file over /dev/ttyS0 with XMODEM (CRC, 128- and 1024-byte blocks) into path,
// taking the line over with init_serial and handing it back with reset_serial. Returns the
// number of data bytes written when the sender ended with EOT, 0 when the transfer was
// cancelled, -1 when the line cannot be opened (at once) or the file cannot be created.
int Xmodem1K(const char* path);
// The same transfer; *cancelled tells a cancelled transfer from one that ended with EOT.
int xmodem_receive(const char* path, bool* cancelled);
// The transfer itself on a line already handed over (non-blocking, as init_serial leaves it):
// asks for the first block, receives into file and ends with the ACK of the EOT or with five
// CAN. The line and the file stay open. The data bytes written, or 0 after a cancel.
int xmodem_transfer(int fd, FILE* file, bool* cancelled);
