// What the fuzz targets share: a console on standard input and a watch on descriptor leaks.
#pragma once

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "console.h"

namespace kvzfuzz {

// Reports on the sanitizers' report descriptor, which stays open when the fuzzer is told to
// close standard error (the targets' own output would fill its log).
[[noreturn]] inline void fail(const char* what) {
  __sanitizer_report_error_summary(what);
  abort();
}

// The bytes on standard input through a pipe that then reaches its end, as from a console that
// types them and hangs up. A pipe holds 64 KiB, more than any input the targets are given.
inline void feed_stdin(const uint8_t* data, size_t size) {
  int p[2];
  if (pipe(p) != 0) fail("pipe");
  if (size > 65536) size = 65536;
  if (size > 0 && write(p[1], data, size) != static_cast<ssize_t>(size)) fail("pipe write");
  close(p[1]);
  dup2(p[0], 0);
  close(p[0]);
  console_closed = false;
}

// A memory file holding the bytes (the same file for every run), for code that reads a file by
// its descriptor or its /proc path.
inline int memfd_holding(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("input", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    fail("memfd");
  return fd;
}

// A descriptor leaked by a run takes the lowest free number, so that number moves; the fuzzer
// itself may open some between runs (its symbolizer's pipes).
inline int lowest_free_fd() {
  const int fd = dup(2);
  close(fd);
  return fd;
}
// Fails the run when a descriptor is left open at the end of its scope.
struct NoLeaks {
  const int lowest = lowest_free_fd();
  ~NoLeaks() {
    if (lowest_free_fd() != lowest) fail("descriptor leaked");
  }
};

}  // namespace kvzfuzz
