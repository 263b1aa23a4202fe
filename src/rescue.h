// Console input (raw keys and an editing line reader) and the rescue menu.
#pragma once

#include <cstddef>
#include <cstdint>

// Set once standard input has reached its end (a read delivered nothing without being
// interrupted). Loops that wait for keys stop waiting when it is set.
extern bool console_closed;

// Reads one key from standard input without echo and without waiting for Enter. Returns the
// byte (0-255), or 0 when nothing was read: end of input, an error, or an interrupt (Ctrl-C).
unsigned uartGetC();
// Writes one byte to standard output and flushes it.
void uartPutC(int c);
// Reads one edited line into buffer (size bytes, NUL-terminated, without the line end). Ends at
// CR, LF, the byte 3, or the end of input. Returns buffer.
char* get_user_input(char* buffer, size_t size);

// The rescue menu; returns only when the operator chooses Exit.
void run_rescue_mode();
// Offers to erase /user, then boots the diagnostics image of the rescue partition; returns only
// when that image cannot be booted.
int run_standalone_diags();
