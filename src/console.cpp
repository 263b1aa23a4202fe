// Console input on standard input: one raw key at a time, and a small line editor that does
// its own echo.
#include "console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool console_closed = false;

namespace {

// Set by uartGetC when its read was broken off by a signal (the interrupt key).
bool read_interrupted = false;

constexpr int kBel = 7;
constexpr int kBs = 8;
constexpr int kLf = 10;
constexpr int kEsc = 27;
constexpr int kDel = 127;

// Where the line editor is in an escape sequence.
enum class EscState { kNormal, kAfterEsc, kAfterCsi };

// One line being edited: the caller's buffer and the editor's position in it.
struct Line {
  char* buf;
  size_t size;
  size_t len;     // characters in the text
  size_t cursor;  // 0 = before the first character, len = after the last
  EscState esc;
  bool done;
};

void put_text(const char* s) {
  while (*s) uartPutC(static_cast<unsigned char>(*s++));
}

void put_repeat(int c, size_t count) {
  for (size_t i = 0; i < count; i++) uartPutC(c);
}

// Writes the text from pos to the end of the line and returns its length.
size_t put_tail(const Line& l, size_t pos) {
  for (size_t i = pos; i < l.len; i++) uartPutC(static_cast<unsigned char>(l.buf[i]));
  return l.len - pos;
}

// The room counter starts at the buffer size and drops by one per character; a character goes
// in only while at least two bytes are left, so the terminating NUL always fits.
bool has_room(const Line& l) {
  return l.size - l.len >= 2;
}

void cursor_left(Line& l) {
  if (l.cursor == 0) return;
  l.cursor--;
  uartPutC(kBs);
}

void cursor_right(Line& l) {
  if (l.cursor == l.len) return;
  uartPutC(static_cast<unsigned char>(l.buf[l.cursor++]));
}

void cursor_home(Line& l) {
  put_repeat(kBs, l.cursor);
  l.cursor = 0;
}

// Removes the character under the cursor and redraws the rest of the line one place to the
// left, blanking the column the line no longer uses.
void delete_at_cursor(Line& l) {
  memmove(l.buf + l.cursor, l.buf + l.cursor + 1, l.len - l.cursor - 1);
  l.buf[--l.len] = '\0';
  const size_t tail = put_tail(l, l.cursor);
  uartPutC(' ');
  put_repeat(kBs, tail + 1);
}

void delete_forward(Line& l) {
  if (l.cursor < l.len) delete_at_cursor(l);
}

void delete_backward(Line& l) {
  if (l.cursor == 0) return;
  cursor_left(l);
  delete_at_cursor(l);
}

// Inserts c at the cursor and redraws the rest of the line one place to the right.
void insert_char(Line& l, int c) {
  if (!has_room(l)) {
    uartPutC(kBel);
    return;
  }
  memmove(l.buf + l.cursor + 1, l.buf + l.cursor, l.len - l.cursor);
  l.buf[l.cursor++] = static_cast<char>(c);
  l.len++;
  uartPutC(c);
  put_repeat(kBs, put_tail(l, l.cursor));
}

void end_line(Line& l) {
  uartPutC(kLf);
  l.done = true;
}

void normal_key(Line& l, int c) {
  switch (c) {
    case 1:
      cursor_home(l);
      break;
    case 2:
      cursor_left(l);
      break;
    case 3:
      put_text(" <break>\n");
      l.done = true;
      break;
    case 4:
      delete_forward(l);
      break;
    case 6:
      cursor_right(l);
      break;
    case kBs:
    case kDel:
      delete_backward(l);
      break;
    case 10:
    case 13:
      end_line(l);
      break;
    case kEsc:
      l.esc = EscState::kAfterEsc;
      break;
    default:
      if (c < 32)
        uartPutC(kBel);
      else
        insert_char(l, c);
  }
}

// After ESC: '[' opens a cursor sequence, BS or DEL removes one character, and any other key
// is taken as if the ESC had not been there.
void after_esc_key(Line& l, int c) {
  l.esc = EscState::kNormal;
  if (c == '[')
    l.esc = EscState::kAfterCsi;
  else if (c == kBs || c == kDel)
    delete_backward(l);
  else
    normal_key(l, c);
}

// After ESC [: parameters are skipped; right and left move the cursor; every other final byte
// (up, down, ESC [ 3 ~ and the like) ends the sequence and is dropped.
void after_csi_key(Line& l, int c) {
  if ((c >= '0' && c <= '9') || c == ';') return;
  l.esc = EscState::kNormal;
  if (c == 'C')
    cursor_right(l);
  else if (c == 'D')
    cursor_left(l);
}

void handle_key(Line& l, int c) {
  switch (l.esc) {
    case EscState::kNormal:
      normal_key(l, c);
      break;
    case EscState::kAfterEsc:
      after_esc_key(l, c);
      break;
    case EscState::kAfterCsi:
      after_csi_key(l, c);
      break;
  }
}

}  // namespace

unsigned uartGetC() {
  // Whatever was printed must be on the console before the wait for a key.
  fflush(stdout);
  // Raw mode lasts for this one read only. Settings that could not be read are not applied:
  // on a terminal that would put an all-zero line setting (speed 0, a hang-up) on the console.
  struct termios saved {};
  const bool is_tty = tcgetattr(0, &saved) == 0;
  if (is_tty) {
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSANOW, &raw);
  }
  unsigned char c = 0;
  const ssize_t n = read(0, &c, 1);
  const int err = errno;
  if (is_tty) tcsetattr(0, TCSANOW, &saved);
  // An interrupted read (Ctrl-C) is not the end of the console; anything else that delivers
  // nothing is, and would otherwise be retried for ever.
  read_interrupted = n < 0 && err == EINTR;
  if (n == 0 || (n < 0 && err != EINTR)) console_closed = true;
  return c;
}

void uartPutC(int c) {
  putchar(c);
  fflush(stdout);
}

char* get_user_input(char* buffer, size_t size) {
  if (size > 0) memset(buffer, 0, size);
  Line l{buffer, size, 0, 0, EscState::kNormal, false};
  while (!l.done) {
    const unsigned c = uartGetC();
    if (c == 0 && read_interrupted) {
      // The operator broke off the question: the caller learns it from the missing line.
      uartPutC(kLf);
      return nullptr;
    }
    if (c == 0 && console_closed)
      end_line(l);  // nobody is left to press Enter
    else
      handle_key(l, static_cast<int>(c));
  }
  return buffer;
}
