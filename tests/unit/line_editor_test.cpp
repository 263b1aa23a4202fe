// Raw key input and the line editor, driven byte by byte through a pipe on standard input, with
// the echo captured from standard output.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "rescue.h"

using namespace std::string_literals;

namespace {

// Puts fd in place of a standard descriptor for the lifetime of the object.
class FdSwap {
 public:
  FdSwap(int target, int fd) : target_(target), saved_(dup(target)) { dup2(fd, target); }
  ~FdSwap() {
    dup2(saved_, target_);
    close(saved_);
  }

 private:
  int target_, saved_;
};

std::string file_text(int fd) {
  std::string s(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
  return s;
}

struct Edited {
  std::string text, echo, rest;  // the line (up to its NUL), the echo, keys left unread
  bool clean = false;  // buffer returned, zeros after the text, nothing written past the end
};

// Types keys into get_user_input on a console that closes after them (or that `feeder` drives
// from a second thread, given the keys' and the echo's descriptors).
Edited edit(const std::string& keys, size_t size = 128,
            const std::function<void(int, int)>& feeder = nullptr) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  EXPECT_EQ(write(p[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  FILE* out = tmpfile();
  std::vector<char> mem(size + 16, '\x5a');
  bool returned = false;
  console_closed = false;
  fflush(stdout);
  {
    FdSwap in(0, p[0]), o(1, fileno(out));
    std::thread feed;
    if (feeder)
      feed = std::thread([&] {
        feeder(p[1], fileno(out));
        close(p[1]);
      });
    else
      close(p[1]);
    returned = get_user_input(mem.data(), size) == mem.data();
    fflush(stdout);
    if (feed.joinable()) feed.join();
  }
  Edited e;
  const auto text_end = mem.begin() + static_cast<long>(size ? strnlen(mem.data(), size) : 0);
  e.text.assign(mem.begin(), text_end);
  e.clean =
      returned &&
      std::all_of(text_end, mem.begin() + static_cast<long>(size), [](char c) { return c == 0; }) &&
      std::all_of(mem.end() - 16, mem.end(), [](char c) { return c == '\x5a'; });
  e.echo = file_text(fileno(out));
  for (char c; read(p[0], &c, 1) == 1;) e.rest += c;
  close(p[0]);
  fclose(out);
  return e;
}

// "\b" is BS, "\a" is BEL; a removal redraws the tail, blanks one column and steps back. A line
// ends at CR, LF, Ctrl-C (keeping its text) or the end of input; the keys after it stay unread.
// A character goes in only while two bytes of the buffer are left.
TEST(LineEditor, KeysEditTextAndEchoExactly) {
  const std::string full(127, 'x');
  const struct {
    std::string keys, text, echo, rest = "";
    size_t size = 128;
  } cases[] = {
      {"abc\r", "abc", "abc\n"},
      {"abc\nzz", "abc", "abc\n", "zz"},
      {"ab\x03zz", "ab", "ab <break>\n", "zz"},
      {"\x80\xe9\xff\r", "\x80\xe9\xff", "\x80\xe9\xff\n"},
      {"abc\x02\x02x\r", "axbc", "abc\b\bxbc\b\b\n"},
      {"abc\x01x\r", "xabc", "abc\b\b\bxabc\b\b\b\n"},
      {"\x01\x02\r", "", "\n"},
      {"abc\x01\x06\x06y\r", "abyc", "abc\b\b\babyc\b\n"},
      {"ab\x06\r", "ab", "ab\n"},
      {"abc\b\r", "ab", "abc\b \b\n"},
      {"abc\x02\x7f\r", "ac", "abc\b\bc \b\b\n"},
      {"ab\x01\b\x7f\r", "ab", "ab\b\b\n"},
      {"abc\x01\x04\r", "bc", "abc\b\b\bbc \b\b\b\n"},
      {"abc\x02\x02\x04\r", "ac", "abc\b\bc \b\b\n"},
      {"abc\x04\r", "abc", "abc\n"},
      {"abcdef\b\b\b\x01\x04\r", "bc", "abcdef\b \b\b \b\b \b\b\b\bbc \b\b\b\n"},
      {"abc\x1b[D\x1b[D\x1b[Cz\r", "abzc", "abc\b\bbzc\b\n"},  // ESC [ D left, ESC [ C right
      {"ab\x01\x1b[5;3Cz\r", "azb", "ab\b\bazb\b\n"},          // parameters skipped
      {"\x1bOC\r", "OC", "OC\n"},                              // ESC O: taken as typed
      {"ab\x1b[A\x1b[Bc\x1b[3~\r", "abc", "abc\n"},            // other sequences dropped whole
      {"ab\x1b\x1b[Dc\r", "acb", "ab\bcb\b\n"},                // ESC ESC starts over
      {"a\x1b\x05\r", "a", "a\a\n"},
      {"ab cd\x1b\b\r", "ab c", "ab cd\b \b\n"},  // ESC BS and ESC DEL remove one character
      {"abc\x02\x1b\x7f\r", "ac", "abc\b\bc \b\b\n"},
      {"\x1b\b\r", "", "\n"},
      {"ab", "ab", "ab\n"},
      {"ab\x1b[", "ab", "ab\n"},
      {"", "", "\n"},
      {full + "y\bz\r", full.substr(0, 126) + "z", full + "\a\b \bz\n"},
      {"ab\r", "a", "a\a\n", "", 2},
      {"ab\r", "", "\a\a\n", "", 1},
      {"ab\x01\x04\r", "", "\a\a\n", "", 0},  // nothing may be written at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.keys));
    const Edited e = edit(c.keys, c.size);
    EXPECT_EQ(e.text, c.text);
    EXPECT_EQ(e.echo, c.echo);
    EXPECT_EQ(e.rest, c.rest);
    EXPECT_TRUE(e.clean);
  }
  // Every other control byte rings the bell.
  for (int c = 0; c < 32; c++) {
    if (c != 0 && strchr("\x01\x02\x03\x04\x06\b\n\r\x1b", c)) continue;
    EXPECT_EQ(edit("a"s + static_cast<char>(c) + "b\r").echo, "a\ab\n") << c;
  }
}

// An interrupted read rings the bell at once, and the line goes on being edited.
TEST(LineEditor, InterruptRingsAndEditingGoesOn) {
  struct sigaction act {
  }, old{};
  act.sa_handler = [](int) {};
  sigaction(SIGINT, &act, &old);  // no SA_RESTART, as the launcher installs it
  const pthread_t editor = pthread_self();
  bool heard = false;
  // Once "ab" is read, interrupt the waiting read until the bell is heard, then finish.
  Edited e = edit("ab", 128, [&](int keys, int echo) {
    int queued = 1;
    while (ioctl(keys, FIONREAD, &queued) == 0 && queued > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < 300 && !heard; i++) {
      pthread_kill(editor, SIGINT);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      heard = file_text(echo).find('\a') != std::string::npos;
    }
    EXPECT_EQ(write(keys, "c\r", 2), 2);
  });
  sigaction(SIGINT, &old, nullptr);
  EXPECT_TRUE(heard) << "the bell must reach the terminal while the editor waits";
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

}  // namespace
