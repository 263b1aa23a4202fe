// The board's console and serial line as kvzsim sets them up for a boot.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

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

// The system board's first UART, a unix socket of qemu's: relays it to standard output, and
// standard input to it once the file `ready` holds something (the board's init writes there
// when the launcher starts: keys typed before would reach a UART nobody reads yet, and be lost). A terminal on
// standard input is put in raw mode meanwhile, so that Ctrl-C reaches the board as a key. Returns
// when the socket closes (qemu has ended) or `runner` has ended.
void relay_system_console(const std::string& socket_path, const std::string& ready, pid_t runner);

// Boots a board directory on the system board: runs its runner (stdin /dev/null) with the
// launcher, the stick and a directory for the console, relays the console meanwhile, and returns
// the runner's exit status (2 when it could not be run).
int boot_system_board(const std::string& runner, const std::string& board, const std::string& launcher,
                      bool usb, const std::vector<std::string>& launcher_args);
