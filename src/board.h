// What every part of the launcher may ask of the board: the interrupt flag, shell commands, and
// the reset that ends every road that does not end in the application.
#pragma once

#include <unistd.h>

#include <cstdint>

// Interrupt flag, set by the SIGINT handler.
extern volatile uint8_t sig_quit_raised;

// Installs sig_handler for SIGINT without automatic restart of interrupted calls.
int sig_init();
void sig_handler(int signo);

// Runs a command line through the shell after flushing what was printed, so that the console
// shows the launcher's output and the command's in the order they happened. The result of
// system(): -1 only when the shell itself could not run.
int run_shell(const char* line);

// Sleeps a second, runs "reboot" and exits with status 0.
[[noreturn]] void board_reset();

// Closes a descriptor when it goes out of scope, so that every return path closes it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};
