// Raw key input and the line editor, driven byte by byte through a pipe or a pseudo-terminal
// on standard input, with the echo captured from standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rescue.h"

using namespace std::string_literals;

namespace {

using Feeder = std::function<void(int keys_fd, int echo_fd)>;

// Puts fd in place of a standard descriptor for the lifetime of the object.
class FdSwap {
 public:
  FdSwap(int target, int fd) : target_(target), saved_(dup(target)) { dup2(fd, target); }
  ~FdSwap() {
    dup2(saved_, target_);
    close(saved_);
  }

 private:
  int target_;
  int saved_;
};

std::string file_text(int fd) {
  std::string s;
  char chunk[512];
  ssize_t n;
  for (off_t at = 0; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n)
    s.append(chunk, static_cast<size_t>(n));
  return s;
}

std::string pipe_rest(int fd) {
  std::string s;
  char c;
  while (read(fd, &c, 1) == 1) s += c;
  return s;
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Edited {
  std::string text;  // up to the first NUL
  std::string echo;
  std::string rest;  // keys the editor left unread
  bool returned_buffer = false;
  bool tail_zero = false;     // every byte of the buffer after the text is 0
  bool guard_intact = false;  // nothing written past the buffer
};

constexpr size_t kGuard = 16;

// Types keys into get_user_input on a console that closes after them (or that the feeder
// drives from a second thread), and returns what the caller and the terminal saw.
Edited edit(const std::string& keys, size_t size = 128, const Feeder& feeder = nullptr) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  EXPECT_EQ(write(p[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  FILE* out = tmpfile();
  std::vector<char> mem(size + kGuard, '\x5a');
  Edited e;
  console_closed = false;
  std::thread feed;
  fflush(stdout);
  {
    FdSwap in(0, p[0]);
    FdSwap o(1, fileno(out));
    if (feeder) {
      feed = std::thread([&] {
        feeder(p[1], fileno(out));
        close(p[1]);
      });
    } else {
      close(p[1]);
    }
    e.returned_buffer = get_user_input(mem.data(), size) == mem.data();
    fflush(stdout);
    if (feed.joinable()) feed.join();
  }
  const auto text_end = mem.begin() + static_cast<long>(size ? strnlen(mem.data(), size) : 0);
  const auto buffer_end = mem.begin() + static_cast<long>(size);
  e.text.assign(mem.begin(), text_end);
  e.tail_zero = std::all_of(text_end, buffer_end, [](char c) { return c == 0; });
  e.guard_intact = std::all_of(buffer_end, mem.end(), [](char c) { return c == '\x5a'; });
  e.echo = file_text(fileno(out));
  e.rest = pipe_rest(p[0]);
  close(p[0]);
  fclose(out);
  return e;
}

void expect_line(const Edited& e, const std::string& text, const std::string& echo) {
  EXPECT_EQ(e.text, text);
  EXPECT_EQ(e.echo, echo);
  EXPECT_TRUE(e.returned_buffer);
  EXPECT_TRUE(e.tail_zero) << "bytes after the text must be 0";
  EXPECT_TRUE(e.guard_intact) << "written past the end of the buffer";
}

struct Case {
  const char* what;
  std::string keys;
  std::string text;
  std::string echo;
};

// "\b" is BS, "\a" is BEL; a removal redraws the tail, blanks one column and steps back.
const Case kCases[] = {
    {"CR ends the line", "abc\r", "abc", "abc\n"},
    {"LF ends the line", "abc\n", "abc", "abc\n"},
    {"bytes 128-255 are characters", "\x80\xe9\xff\r", "\x80\xe9\xff", "\x80\xe9\xff\n"},
    {"insert in the middle", "abc\x02\x02x\r", "axbc", "abc\b\bxbc\b\b\n"},
    {"Ctrl-A to the start", "abc\x01x\r", "xabc", "abc\b\b\bxabc\b\b\b\n"},
    {"Ctrl-A and Ctrl-B at the start", "\x01\x02\r", "", "\n"},
    {"Ctrl-F passes characters", "abc\x01\x06\x06y\r", "abyc", "abc\b\b\babyc\b\n"},
    {"Ctrl-F at the end", "ab\x06\r", "ab", "ab\n"},
    {"BS at the end", "abc\b\r", "ab", "abc\b \b\n"},
    {"DEL in the middle", "abc\x02\x7f\r", "ac", "abc\b\bc \b\b\n"},
    {"BS and DEL at the start", "ab\x01\b\x7f\r", "ab", "ab\b\b\n"},
    {"Ctrl-D at the start", "abc\x01\x04\r", "bc", "abc\b\b\bbc \b\b\b\n"},
    {"Ctrl-D in the middle", "abc\x02\x02\x04\r", "ac", "abc\b\bc \b\b\n"},
    {"Ctrl-D at the end", "abc\x04\r", "abc", "abc\n"},
    {"removed text leaves zeros", "abcdef\b\b\b\x01\x04\r", "bc",
     "abcdef\b \b\b \b\b \b\b\b\bbc \b\b\b\n"},
    {"ESC [ D and ESC [ C", "abc\x1b[D\x1b[D\x1b[Cz\r", "abzc", "abc\b\bbzc\b\n"},
    {"ESC [5;3C moves right", "ab\x01\x1b[5;3Cz\r", "azb", "ab\b\bazb\b\n"},
    {"ESC O C inserts O and C", "\x1bOC\r", "OC", "OC\n"},
    {"ESC [ A and ESC [ B dropped", "ab\x1b[A\x1b[Bc\r", "abc", "abc\n"},
    {"ESC [ 3 ~ dropped whole", "ab\x1b[3~c\r", "abc", "abc\n"},
    {"ESC ESC starts over", "ab\x1b\x1b[Dc\r", "acb", "ab\bcb\b\n"},
    {"ESC then a control byte", "a\x1b\x05\r", "a", "a\a\n"},
    {"ESC BS removes one character", "ab cd\x1b\b\r", "ab c", "ab cd\b \b\n"},
    {"ESC DEL in the middle", "abc\x02\x1b\x7f\r", "ac", "abc\b\bc \b\b\n"},
    {"ESC BS at the start", "\x1b\b\r", "", "\n"},
    {"end of input ends the line", "ab", "ab", "ab\n"},
    {"end of input inside ESC [", "ab\x1b[", "ab", "ab\n"},
    {"empty closed console", "", "", "\n"},
};

TEST(LineEditor, KeysEditTextAndEchoExactly) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    expect_line(edit(c.keys), c.text, c.echo);
  }
}

TEST(LineEditor, LineEndsStopReadingAndBreakKeepsText) {
  Edited e = edit("ab\x03zz");
  expect_line(e, "ab", "ab <break>\n");
  EXPECT_EQ(e.rest, "zz");
  e = edit("ab\rzz");
  expect_line(e, "ab", "ab\n");
  EXPECT_EQ(e.rest, "zz");
}

TEST(LineEditor, OtherControlBytesRingTheBell) {
  for (int c = 0; c < 32; c++) {
    if (c == 1 || c == 2 || c == 3 || c == 4 || c == 6 || c == 8 || c == 10 || c == 13 || c == 27)
      continue;
    SCOPED_TRACE(c);
    expect_line(edit("a"s + static_cast<char>(c) + "b\r"), "ab", "a\ab\n");
  }
}

TEST(LineEditor, FullBufferRingsUntilRoomIsMade) {
  const std::string full(127, 'x');
  expect_line(edit(full + "y\bz\r"), full.substr(0, 126) + "z", full + "\a\b \bz\n");
  expect_line(edit("ab\r", 2), "a", "a\a\n");
  expect_line(edit("ab\r", 1), "", "\a\a\n");
  expect_line(edit("ab\x01\x04\r", 0), "", "\a\a\n");  // nothing may be written at all
}

TEST(LineEditor, InterruptRingsAndEditingGoesOn) {
  struct sigaction act {
  }, old{};
  act.sa_handler = [](int) {};
  sigaction(SIGINT, &act, &old);  // no SA_RESTART, as the launcher installs it
  const pthread_t editor = pthread_self();
  // Once "ab" is read, interrupt the waiting read until the bell is heard, then finish.
  Edited e = edit("ab", 128, [editor](int keys, int echo) {
    int queued = 1;
    while (ioctl(keys, FIONREAD, &queued) == 0 && queued > 0) sleep_ms(5);
    for (int i = 0; i < 300 && file_text(echo).find('\a') == std::string::npos; i++) {
      pthread_kill(editor, SIGINT);
      sleep_ms(10);
    }
    EXPECT_EQ(write(keys, "c\r", 2), 2);
  });
  sigaction(SIGINT, &old, nullptr);
  EXPECT_EQ(e.text, "abc");
  EXPECT_EQ(e.echo.substr(0, 3), "ab\a");
  EXPECT_EQ(e.echo.find_first_not_of('\a', 2), e.echo.size() - 2) << "only bells before c";
  EXPECT_EQ(e.echo.substr(e.echo.size() - 2), "c\n");
  EXPECT_FALSE(console_closed);
}

TEST(UartGetC, ReturnsBytesThenZeroAtEndOfInput) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "A\xff\0", 3), 3);
  close(p[1]);
  FdSwap in(0, p[0]);
  close(p[0]);
  console_closed = false;
  EXPECT_EQ(uartGetC(), 'A');
  EXPECT_EQ(uartGetC(), 255u);
  EXPECT_EQ(uartGetC(), 0u);
  EXPECT_FALSE(console_closed) << "a NUL key is not the end of input";
  EXPECT_EQ(uartGetC(), 0u);
  EXPECT_TRUE(console_closed);
}

// A pseudo-terminal on standard input, set up like a console: canonical, echo, signals.
class UartGetCOnTerminal : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
    struct termios t {};
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_iflag |= ICRNL;
    t.c_cc[VMIN] = 4;
    t.c_cc[VTIME] = 3;
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
    ASSERT_EQ(tcgetattr(slave_, &console_), 0);
    stdin_ = std::make_unique<FdSwap>(0, slave_);
    console_closed = false;
  }
  void TearDown() override {
    stdin_.reset();
    close(slave_);
    close(master_);
  }

  struct termios now() {
    struct termios t {};
    tcgetattr(slave_, &t);
    return t;
  }

  int master_ = -1;
  int slave_ = -1;
  struct termios console_ {};
  std::unique_ptr<FdSwap> stdin_;
};

// While the read waits the line is raw for one key, without echo; the interrupt key stays on.
TEST_F(UartGetCOnTerminal, TakesOneKeyRawWithTheInterruptKeyOn) {
  struct termios during {};
  std::thread typist([&] {
    for (int i = 0; i < 500 && (now().c_lflag & ICANON); i++) sleep_ms(5);
    during = now();
    EXPECT_EQ(write(master_, "k\n", 2), 2);  // the newline frees a read left cooked
  });
  const unsigned c = uartGetC();
  typist.join();
  EXPECT_EQ(c, 'k');
  EXPECT_EQ(during.c_lflag, console_.c_lflag & ~static_cast<tcflag_t>(ICANON | ECHO));
  EXPECT_EQ(during.c_iflag, console_.c_iflag);
  EXPECT_EQ(during.c_cc[VMIN], 1);
  EXPECT_EQ(during.c_cc[VTIME], 0);
  EXPECT_EQ(during.c_cc[VINTR], console_.c_cc[VINTR]);
}

TEST_F(UartGetCOnTerminal, InterruptReturnsZeroAndLeavesInputAlone) {
  static std::atomic<int> interrupts;
  interrupts = 0;
  struct sigaction act {
  }, old{};
  act.sa_handler = [](int) { interrupts++; };
  sigaction(SIGINT, &act, &old);
  std::atomic<bool> returned{false};
  const pthread_t reader = pthread_self();
  std::thread interrupter([&] {
    for (int i = 0; i < 300 && !returned; i++) {
      pthread_kill(reader, SIGINT);
      sleep_ms(10);
    }
    if (!returned) {
      EXPECT_EQ(write(master_, "z", 1), 1);  // free a read that ignores interrupts
    }
  });
  const unsigned c = uartGetC();
  returned = true;
  interrupter.join();
  sigaction(SIGINT, &old, nullptr);
  EXPECT_EQ(c, 0u);
  EXPECT_GE(interrupts, 1);
  EXPECT_FALSE(console_closed) << "an interrupt is not the end of input";
  const struct termios after = now();
  EXPECT_EQ(after.c_lflag, console_.c_lflag);
  EXPECT_EQ(0, memcmp(after.c_cc, console_.c_cc, sizeof after.c_cc));
  ASSERT_EQ(write(master_, "q", 1), 1);
  EXPECT_EQ(uartGetC(), 'q');
}

}  // namespace
