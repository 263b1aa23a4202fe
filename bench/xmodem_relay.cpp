// One XMODEM-1K transfer from lrzsz's `sx -k` to kvzrx on the virtual board, through a relay that
// paces both directions of the serial line at 115200 bps 8N1: a byte reaches the other end one
// character time (10 bits, 86.8 us) after the line was free for it. The transfer's time, from the
// first byte of the first block to the last ACK, is compared with the line's own time for the
// same bytes (blocks, EOTs, ACKs, NAKs), which is what a receiver that never keeps the line
// waiting would take.
//   bench_xmodem_relay KVZSIM BOARD KVZRX FILE [KVZSIM_OPTION...]
// Prints one line with the figures; exit status 0 when the file arrived whole with exit status 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kCharTime = 10.0 / 115200;  // start bit, 8 data bits, stop bit

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void fail(const std::string& why) {
  fprintf(stderr, "bench_xmodem_relay: %s\n", why.c_str());
  exit(1);
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

pid_t spawn(std::vector<std::string> argv, int in, int out, int err) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char*> a;
  for (std::string& s : argv) a.push_back(s.data());
  a.push_back(nullptr);
  execvp(a[0], a.data());
  _exit(127);
}

// One direction of the line: bytes waiting with the time each reaches the far end.
struct Lane {
  explicit Lane(int fd) : to(fd) {}
  int to;
  std::deque<std::pair<double, char>> queue;
  double free_at = 0;
  long bytes = 0;   // carried since the transfer started
  double last = 0;  // when the last byte arrived at the far end

  void accept(const char* data, ssize_t n, double t, bool counting) {
    for (ssize_t i = 0; i < n; i++) {
      free_at = (free_at > t ? free_at : t) + kCharTime;
      queue.emplace_back(free_at, data[i]);
      if (counting) bytes++;
    }
  }
  void deliver(double t) {
    while (!queue.empty() && queue.front().first <= t) {
      if (write(to, &queue.front().second, 1) != 1) { /* the far end has gone */
      }
      last = queue.front().first;
      queue.pop_front();
    }
  }
};

// The board's console output, watched for the hand-over texts.
struct Console {
  int fd;
  std::string text;
  bool wait_for(const std::string& s, double seconds) {
    for (const double end = now() + seconds; text.find(s) == std::string::npos;) {
      if (now() > end) return false;
      pollfd p{fd, POLLIN, 0};
      char buf[512];
      ssize_t n = 0;
      if (poll(&p, 1, 50) == 1 && (n = read(fd, buf, sizeof buf)) <= 0) return false;
      if (n > 0) text.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
};

// Presses Enter until the receiver asks for the first block with 'C'.
void start_receiver(int line) {
  for (int i = 0; i < 20; i++) {
    if (write(line, "\r", 1) != 1) fail("cannot write the line");
    pollfd p{line, POLLIN, 0};
    char c = 0;
    for (const double end = now() + 1.5; now() < end;)
      if (poll(&p, 1, 50) == 1 && read(line, &c, 1) == 1 && c == 'C') return;
  }
  fail("the receiver never asked for a block");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) fail("usage: bench_xmodem_relay KVZSIM BOARD KVZRX FILE [KVZSIM_OPTION...]");
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_TIMERSLACK, 1UL);  // the pacing needs timers to the microsecond
  const std::string board = argv[2], file = argv[4];

  const int line = posix_openpt(O_RDWR | O_NOCTTY);
  if (line < 0 || grantpt(line) != 0 || unlockpt(line) != 0) fail("no pseudo-terminal");
  const std::string slave = ptsname(line);
  const int keep_slave = open(slave.c_str(), O_RDWR | O_NOCTTY);  // no hang-up while we wait
  termios raw;
  tcgetattr(line, &raw);
  cfmakeraw(&raw);
  tcsetattr(line, TCSANOW, &raw);

  int out[2];
  if (pipe(out) != 0) fail("no pipe");
  std::vector<std::string> sim = {argv[1],    "boot", board,          "--launcher", argv[3],
                                  "--serial", slave,  "--time-scale", "1"};
  sim.insert(sim.end(), argv + 5, argv + argc);
  sim.insert(sim.end(), {"--", "/tmp/image"});
  const int null = open("/dev/null", O_RDWR);
  const pid_t board_pid = spawn(sim, null, out[1], 2);
  close(out[1]);
  Console console{out[0], ""};
  if (!console.wait_for("before initiating the download.\n", 60)) fail("no hand-over text");
  start_receiver(line);

  int to_sx[2], from_sx[2];
  if (pipe(to_sx) != 0 || pipe(from_sx) != 0) fail("no pipe");
  const pid_t sx = spawn({"sx", "-k", file}, to_sx[0], from_sx[1], null);
  close(to_sx[0]);
  close(from_sx[1]);
  Lane to_board(line), to_sender(to_sx[1]);
  to_sender.accept("C", 1, now(), false);  // the request that start_receiver took off the line
  double start = -1;
  double receiver_wait = 0, sender_wait = 0;  // from a byte's arrival to the answer
  int sx_status = -1;
  while (sx_status < 0) {
    const double t = now();
    to_board.deliver(t);
    to_sender.deliver(t);
    double next = t + 0.05;
    for (const Lane* l : {&to_board, &to_sender})
      if (!l->queue.empty() && l->queue.front().first < next) next = l->queue.front().first;
    const double wait = next > t ? next - t : 0;
    const timespec ts = {0, static_cast<long>(wait * 1e9)};  // under 50 ms
    pollfd p[2] = {{from_sx[0], POLLIN, 0}, {line, POLLIN, 0}};
    if (ppoll(p, 2, &ts, nullptr) > 0) {
      char buf[2048];
      const double at = now();
      ssize_t n;
      if ((p[0].revents & POLLIN) && (n = read(from_sx[0], buf, sizeof buf)) > 0) {
        if (start < 0) start = (to_board.free_at > at ? to_board.free_at : at);
        if (to_sender.queue.empty() && to_sender.last > start) sender_wait += at - to_sender.last;
        to_board.accept(buf, n, at, true);
      }
      if ((p[1].revents & POLLIN) && (n = read(line, buf, sizeof buf)) > 0) {
        if (start >= 0 && to_board.queue.empty()) receiver_wait += at - to_board.last;
        to_sender.accept(buf, n, at, start >= 0);
      }
    }
    int st = 0;
    if (waitpid(sx, &st, WNOHANG) == sx) sx_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  }
  const double transfer = to_sender.last - start;
  const long bytes = to_board.bytes + to_sender.bytes;

  // Enter at the old speed, until the board has finished.
  console.wait_for("Change the baud rate back", 60);
  int status = 0;
  while (waitpid(board_pid, &status, WNOHANG) == 0) {
    if (write(line, "\n", 1) != 1) break;
    console.wait_for("\x01never", 1.5);
  }
  close(keep_slave);
  const bool whole = file_text(board + "/tmp/image") == file_text(file);
  const bool ok = file_text(board + "/stats/launcher").find("exit_status=0\n") != std::string::npos;
  const double line_time = static_cast<double>(bytes) * kCharTime;
  printf(
      "xmodem %ld KiB at 115200 bps: transfer %.3f s, line time %.3f s (%ld bytes), ratio "
      "%.2f%% (target >= 99%%)%s\n",
      static_cast<long>(file_text(file).size() / 1024), transfer, line_time, bytes,
      100 * line_time / transfer, 100 * line_time / transfer < 99 ? " -- target missed" : "");
  printf("  answers: the receiver took %.3f s in all, the sender %.3f s\n", receiver_wait,
         sender_wait);
  if (sx_status != 0 || !whole || !ok) fail("the transfer did not complete:\n" + console.text);
  return 0;
}
