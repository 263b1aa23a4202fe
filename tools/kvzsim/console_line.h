// The board's console and serial line as kvzsim sets them up for a boot.
#pragma once

#include <sys/types.h>

#include <string>

// A console of the board's own, for an operator's terminal program: a pseudo-terminal that is
// the launcher's console (and, by default, its serial line /dev/ttyS0), and one that the
// terminal program attaches to, joined by a relay process for the length of the boot.
struct PtyConsole {
  int launcher_fd = -1;       // the launcher's side
  std::string launcher_path;  // its name, to bind as /dev/ttyS0
  pid_t relay = -1;
};

// Makes the two pseudo-terminals, tells the operator on standard error where to attach a
// terminal program and waits for a key typed there (the board powers on then). False, with the
// reason in *err, when it cannot.
bool open_pty_console(PtyConsole* c, std::string* err);
void close_pty_console(PtyConsole* c);

// A serial line with nobody on the other end: its name, and the master end in *master.
std::string open_idle_serial(int* master);
