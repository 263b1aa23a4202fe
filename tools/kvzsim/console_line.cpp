#include "console_line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A pseudo-terminal pair, raw when asked (the operator's: what the relay passes on must reach
// the terminal program untouched and never be echoed back); false when the machine has none.
bool open_pty(int* master, int* slave, std::string* name, bool raw) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
  *name = ptsname(*master);
  *slave = open(name->c_str(), O_RDWR | O_NOCTTY);
  if (*slave < 0) return false;
  struct termios t;
  tcgetattr(*slave, &t);
  cfmakeraw(&t);
  return !raw || tcsetattr(*slave, TCSANOW, &t) == 0;
}

bool write_all(int fd, const char* data, ssize_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, static_cast<size_t>(n));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= w;
  }
  return true;
}

// Copies bytes both ways between the launcher's terminal and the operator's until the board is
// off (kvzsim ends the relay, or dies). While no terminal program is attached, what the launcher
// writes waits in the operator's terminal.
[[noreturn]] void relay(int board, int operator_side) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  char buf[4096];
  for (;;) {
    struct pollfd p[2] = {{board, POLLIN, 0}, {operator_side, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) _exit(1);
    for (int i = 0; i < 2; i++) {
      if (!(p[i].revents & POLLIN)) continue;
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n > 0) write_all(p[1 - i].fd, buf, n);
    }
    if ((p[0].revents | p[1].revents) & (POLLHUP | POLLERR)) usleep(10000);
  }
}

}  // namespace

bool open_pty_console(PtyConsole* c, std::string* err) {
  int board_master = -1, operator_master = -1, operator_slave = -1;
  std::string operator_path;
  if (!open_pty(&board_master, &c->launcher_fd, &c->launcher_path, false) ||
      !open_pty(&operator_master, &operator_slave, &operator_path, true)) {
    *err = std::string("cannot make a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  fprintf(stderr,
          "kvzsim: the console is %s: attach a terminal program to it (for example\n"
          "kvzsim: picocom -b 9600 --send-cmd 'sx -k' %s) and press Enter to power on\n",
          operator_path.c_str(), operator_path.c_str());
  char key = 0;
  while (read(operator_master, &key, 1) < 0 && errno == EINTR) {
  }
  c->relay = fork();
  if (c->relay < 0) {
    *err = "cannot fork";
    return false;
  }
  if (c->relay == 0) relay(board_master, operator_master);
  // The operator's end stays open in the relay, so that a terminal program may come and go.
  close(board_master);
  close(operator_master);
  close(operator_slave);
  return true;
}

void close_pty_console(PtyConsole* c) {
  if (c->relay > 0) {
    kill(c->relay, SIGKILL);
    waitpid(c->relay, nullptr, 0);
  }
  if (c->launcher_fd >= 0) close(c->launcher_fd);
}

std::string open_idle_serial(int* master) {
  *master = posix_openpt(O_RDWR | O_NOCTTY);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return "";
  return ptsname(*master);
}
