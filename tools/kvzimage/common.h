// Pieces shared by the kvzimage commands: exit statuses, error lines, file I/O that retries
// partial transfers, and output files that appear only once complete.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kvzimage {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBad = 1;
inline constexpr int kExitUsage = 2;

// Payloads are streamed through a buffer of this size, whatever the record size.
inline constexpr size_t kCopyBufferSize = 64 * 1024;

// Prints "kvzimage: <message>\n" on err.
[[gnu::format(printf, 2, 3)]] void tool_error(FILE* err, const char* fmt, ...);

// Strict decimal: digits only, no sign or blanks, value at most max.
[[nodiscard]] bool parse_decimal(const char* text, uint64_t max, uint64_t* value);

// "a.b.c.d" from the four bytes of a version word, most significant first.
struct VersionText {
  char text[16];
};
[[nodiscard]] VersionText version_text(uint32_t id);

// Write or read everything asked, retrying interrupted and partial transfers.
[[nodiscard]] bool write_all(int fd, const void* buf, size_t count);
[[nodiscard]] bool pwrite_all(int fd, const void* buf, size_t count, uint64_t offset);
// Returns the number of bytes read (short only at end of file), or -1 on a read error. The
// positioned form is pread_full of the record module.
[[nodiscard]] ssize_t read_full(int fd, void* buf, size_t count);

// Opens an existing regular file for reading and returns its descriptor and size; on failure
// prints the error line and returns -1.
[[nodiscard]] int open_input(const char* path, uint64_t* size, FILE* err);

// A file written as "<path>.tmp" and renamed to its name once complete, so that a failed command
// leaves neither a partial file nor a damaged earlier one.
struct OutputFile {
  std::string path;
  std::string tmp;
  int fd = -1;
};

[[nodiscard]] bool output_open(OutputFile* file, const char* path, FILE* err);
// Flushes, closes and renames into place; on failure removes the temporary file.
[[nodiscard]] bool output_commit(OutputFile* file, FILE* err);
// Closes and removes the temporary file.
void output_abort(OutputFile* file);

}  // namespace kvzimage
