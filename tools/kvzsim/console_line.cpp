#include "console_line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "board_files.h"

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

namespace {

// Connects to qemu's socket, which appears once qemu has started; -1 when the runner ended first.
int connect_console(const std::string& path, pid_t runner) {
  for (;;) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    if (waitpid(runner, nullptr, WNOHANG) != 0) return -1;
    usleep(20000);
  }
}

}  // namespace

void relay_system_console(const std::string& socket_path, const std::string& ready, pid_t runner) {
  const int line = connect_console(socket_path, runner);
  if (line < 0) return;
  struct termios saved {};
  const bool tty = tcgetattr(0, &saved) == 0;
  if (tty) {
    struct termios raw = saved;
    cfmakeraw(&raw);
    tcsetattr(0, TCSANOW, &raw);
  }
  bool input = false, input_open = true;
  char buf[4096];
  for (;;) {
    struct stat st;
    if (!input) input = stat(ready.c_str(), &st) == 0 && st.st_size > 0;
    struct pollfd p[2] = {{line, POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(p, input && input_open ? 2 : 1, 50) < 0 && errno != EINTR) break;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = read(line, buf, sizeof buf);
      if (n <= 0) break;
      write_all(1, buf, n);
    }
    if (input && input_open && (p[1].revents & (POLLIN | POLLHUP))) {
      const ssize_t n = read(0, buf, sizeof buf);
      if (n > 0) write_all(line, buf, n);
      input_open = n > 0;  // a console at its end types nothing more
    }
  }
  if (tty) tcsetattr(0, TCSANOW, &saved);
  close(line);
}

int boot_system_board(const std::string& runner, const std::string& board, const std::string& launcher,
                      bool usb, const std::vector<std::string>& launcher_args) {
  char dir[] = "/tmp/kvzsim-console-XXXXXX";
  if (!mkdtemp(dir)) {
    perror("kvzsim: cannot create a directory for the console");
    return 2;
  }
  std::vector<std::string> args = {runner, board, launcher, usb ? "1" : "0", dir, "--"};
  args.insert(args.end(), launcher_args.begin(), launcher_args.end());
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);  // the console is relayed by the parent
    execv(argv[0], argv.data());
    fprintf(stderr, "kvzsim: cannot run %s: %s\n", runner.c_str(), strerror(errno));
    _exit(2);
  }
  int status = 2 << 8;
  if (pid > 0) {
    relay_system_console(std::string(dir) + "/console", std::string(dir) + "/ready", pid);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  } else {
    perror("kvzsim: cannot fork");
  }
  remove_tree(dir);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
