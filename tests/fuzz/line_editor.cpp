// The key reader and the line editor on a console that types the fuzz bytes and then ends.
// Byte 0: the buffer size (bits 7-1, so 0 and 1 included) and whether a raw key is read before
// each line, as the rescue menu does (bit 0). Standard input is a memory file, so the harness
// sees how far each call read. The editor's promises: every call ends on CR, LF or the byte 3
// (or the end of input); the text is NUL-terminated within the buffer, holds no CR or LF, and
// every byte after the terminator is 0. The buffer is allocated at its exact size, so a write
// past it is caught.
#include <unistd.h>

#include <cstring>

#include "fuzz.h"

using kvzfuzz::fail;

namespace {

size_t consumed() {
  return static_cast<size_t>(lseek(0, 0, SEEK_CUR));
}

void check_line(const char* buf, size_t size) {
  const size_t len = strnlen(buf, size);
  if (len == size) fail("text not terminated within the buffer");
  if (memchr(buf, '\r', len) || memchr(buf, '\n', len)) fail("line end in the text");
  for (size_t i = len; i < size; ++i)
    if (buf[i] != 0) fail("byte after the terminator not 0");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t n = size - 1;
  const uint8_t* keys = data + 1;
  if (dup2(kvzfuzz::memfd_holding(keys, n), 0) != 0 || lseek(0, 0, SEEK_SET) != 0) fail("memfd");
  const kvzfuzz::NoLeaks no_leaks;
  console_closed = false;
  const size_t buf_size = data[0] >> 1;
  char* buf = static_cast<char*>(malloc(buf_size));
  while (!console_closed) {
    if (data[0] & 1) {
      const size_t at = consumed();
      const unsigned key = uartGetC();
      if (at < n ? key != keys[at] || console_closed : key != 0 || !console_closed)
        fail("uartGetC did not deliver the next byte");
    }
    if (get_user_input(buf, buf_size) != buf) fail("no line");
    const size_t at = consumed();
    if (!console_closed && (at == 0 || !memchr("\r\n\3", keys[at - 1], 3)))
      fail("line ended without CR, LF or 3");
    if (buf_size > 0) check_line(buf, buf_size);
  }
  free(buf);
  return 0;
}
