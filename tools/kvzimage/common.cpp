#include "common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace kvzimage {

void tool_error(FILE* err, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fputs("kvzimage: ", err);
  vfprintf(err, fmt, args);
  fputc('\n', err);
  va_end(args);
}

bool parse_decimal(const char* text, uint64_t max, uint64_t* value) {
  if (*text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    const auto digit = static_cast<uint64_t>(*p - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

VersionText version_text(uint32_t id) {
  VersionText v{};
  snprintf(v.text, sizeof v.text, "%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFFu, (id >> 8) & 0xFFu,
           id & 0xFFu);
  return v;
}

bool write_all(int fd, const void* buf, size_t count) {
  const auto* p = static_cast<const uint8_t*>(buf);
  while (count > 0) {
    const ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool pwrite_all(int fd, const void* buf, size_t count, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(buf);
  while (count > 0) {
    const ssize_t n = pwrite(fd, p, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

ssize_t read_full(int fd, void* buf, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = read(fd, static_cast<uint8_t*>(buf) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int open_input(const char* path, uint64_t* size, FILE* err) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    tool_error(err, "%s: %s", path, strerror(errno));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    tool_error(err, "%s: %s", path, strerror(errno));
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    tool_error(err, "%s: not a regular file", path);
    close(fd);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool output_open(OutputFile* file, const char* path, FILE* err) {
  file->path = path;
  file->tmp = file->path + ".tmp";
  file->fd = open(file->tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file->fd < 0) {
    tool_error(err, "%s: %s", file->tmp.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool output_commit(OutputFile* file, FILE* err) {
  // fsync first: a rename that reaches the disk before the data would leave an empty bundle
  // under the final name after a crash.
  const bool synced = fsync(file->fd) == 0;
  const int sync_errno = errno;
  const bool closed = close(file->fd) == 0;
  file->fd = -1;
  if (!synced || !closed) {
    tool_error(err, "%s: %s", file->tmp.c_str(), strerror(synced ? errno : sync_errno));
    output_abort(file);
    return false;
  }
  if (rename(file->tmp.c_str(), file->path.c_str()) != 0) {
    tool_error(err, "%s: %s", file->path.c_str(), strerror(errno));
    output_abort(file);
    return false;
  }
  return true;
}

void output_abort(OutputFile* file) {
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
  unlink(file->tmp.c_str());
}

}  // namespace kvzimage
