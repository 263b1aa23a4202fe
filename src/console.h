// Console input on standard input: raw keys and an editing line reader.
#pragma once

#include <cstddef>

// Set once standard input has reached its end (a read delivered nothing without being
// interrupted). Loops that wait for keys stop waiting when it is set.
extern bool console_closed;

// Reads one key from standard input without echo and without waiting for Enter. Returns the
// byte (0-255), or 0 when nothing was read: end of input, an error, or an interrupt (Ctrl-C).
unsigned uartGetC();
// Writes one byte to standard output and flushes it.
void uartPutC(int c);
// Reads one edited line into buffer (size bytes, NUL-terminated, without the line end). Ends at
// CR, LF, the byte 3, or the end of input, and returns buffer. Returns nullptr when the interrupt
// key (SIGINT) broke off the wait: the text typed so far stays in buffer, and the caller decides
// whether to give up or read again.
char* get_user_input(char* buffer, size_t size);
