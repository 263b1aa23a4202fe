// Raw key input and the line editor, driven byte by byte through a pipe on standard input, with
// the echo captured from standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console.h"

using namespace std::string_literals;

namespace {

struct Edited {
  std::string text, echo, rest;  // the line (up to its NUL), the echo, keys left unread
  bool clean = false;  // buffer returned, zeros after the text, nothing written past the end
};

// Types keys into get_user_input on a console that closes after them. The echo is taken as it
// reached the terminal, before anything left in the output buffer is flushed.
Edited edit(const std::string& keys, size_t size = 128) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  EXPECT_EQ(write(p[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  close(p[1]);
  FILE* out = tmpfile();
  std::vector<char> mem(size + 16, '\x5a');
  Edited e;
  console_closed = false;
  fflush(stdout);
  const int saved_out = dup(1);  // standard input is the test's own: only the keys read it
  dup2(p[0], 0);
  dup2(fileno(out), 1);
  e.clean = get_user_input(mem.data(), size) == mem.data();
  e.echo.resize(static_cast<size_t>(lseek(fileno(out), 0, SEEK_END)));
  EXPECT_EQ(pread(fileno(out), e.echo.data(), e.echo.size(), 0), ssize_t(e.echo.size()));
  fflush(stdout);
  dup2(saved_out, 1);
  close(saved_out);
  const auto text_end = mem.begin() + static_cast<long>(size ? strnlen(mem.data(), size) : 0);
  e.text.assign(mem.begin(), text_end);
  e.clean =
      e.clean &&
      std::all_of(text_end, mem.begin() + static_cast<long>(size), [](char c) { return c == 0; }) &&
      std::all_of(mem.end() - 16, mem.end(), [](char c) { return c == '\x5a'; });
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
  // Every other control byte rings the bell; a NUL key is no end of input.
  for (int c = 0; c < 32; c++) {
    if (c != 0 && strchr("\x01\x02\x03\x04\x06\b\n\r\x1b", c)) continue;
    EXPECT_EQ(edit("a"s + static_cast<char>(c) + "b\r").echo, "a\ab\n") << c;
  }
}

}  // namespace
