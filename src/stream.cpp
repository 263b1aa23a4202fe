#include "stream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "flash.h"

namespace {

// Records are streamed through this buffer (flash, files that are not mapped) or a window of
// this size (slot files): memory use does not grow with the record size.
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kWindow = 512 * 1024;
constexpr size_t kHeldBack = 16;  // the header bytes that name a version
uint8_t chunk_buf[kChunk];

// Reads len bytes of the record at offset; 0, or the error number.
int read_source(const RecordSource& src, uint8_t* buf, uint64_t offset, size_t len) {
  const uint64_t at = src.base + offset;
  if (src.flash) {
    if (at > UINT32_MAX) return EIO;
    return api_flash_read(buf, src.fd, static_cast<uint32_t>(at), static_cast<uint32_t>(len)) == 0
               ? 0
               : EIO;
  }
  const ssize_t got = pread_full(src.fd, buf, len, at);
  return got == static_cast<ssize_t>(len) ? 0 : got < 0 ? errno : EIO;
}

// A window of a slot file's page cache; nullptr when it cannot be mapped. *base receives the
// mapping to release with munmap.
const uint8_t* map_window(const RecordSource& src, uint64_t pos, size_t n, void** base,
                          size_t* mapped) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t at = src.base + pos;
  const uint64_t start = at - at % page;
  *mapped = static_cast<size_t>(at - start) + n;
  *base = mmap(nullptr, *mapped, PROT_READ, MAP_PRIVATE | MAP_POPULATE, src.fd,
               static_cast<off_t>(start));
  if (*base == MAP_FAILED) return nullptr;
  return static_cast<const uint8_t*>(*base) + (at - start);
}

// One record on its way through the check.
struct Stream {
  const RecordHeader& h;
  const StreamCopy& copy;
  uint32_t crc = kCrcInit;
  int error = 0;
};

// Feeds one piece of the record (its bytes from pos on) to the check, and the part of it from
// copy.from on to the output. buf, the piece when it was read into the buffer (not mapped), takes
// the held-back header's zeros.
void take_piece(Stream& s, uint8_t* buf, const uint8_t* data, uint64_t pos, size_t n) {
  const size_t skip = pos < 4 ? static_cast<size_t>(4 - pos) : 0;  // the crc word itself
  if (n > skip) s.crc = gen_crc(data + skip, static_cast<uint32_t>(n - skip), s.crc);
  if (s.copy.hold_header && pos == 0 && buf) memset(buf, 0, n < kHeldBack ? n : kHeldBack);
  if (s.copy.out_fd >= 0 && pos + n > s.copy.from) {
    const size_t at = pos >= s.copy.from ? 0 : static_cast<size_t>(s.copy.from - pos);
    if (!write_all(s.copy.out_fd, data + at, n - at) && s.copy.stop_on_write_error)
      s.error = errno;
  }
  if (s.copy.progress && s.error == 0) {
    printf("\b\b\b\b%3.3d%c", static_cast<int>((pos + n) * 100 / s.h.total_size), '%');
    fflush(stdout);
  }
}

// The pieces of [pos, pos + n) read into the buffer, 64 KiB at a time.
void take_read_pieces(Stream& s, const RecordSource& src, uint64_t pos, size_t n) {
  for (uint64_t at = pos; at < pos + n && s.error == 0; at += kChunk) {
    const size_t k = static_cast<size_t>(pos + n - at < kChunk ? pos + n - at : kChunk);
    s.error = read_source(src, chunk_buf, at, k);
    if (s.error == 0) take_piece(s, chunk_buf, chunk_buf, at, k);
  }
}

}  // namespace

bool write_all(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int stream_record(const RecordSource& src, const RecordHeader& h, const StreamCopy& copy) {
  Stream s{h, copy};
  const size_t piece = src.mappable ? kWindow : kChunk;
  for (uint64_t pos = 0; pos < h.total_size && s.error == 0; pos += piece) {
    const size_t n = static_cast<size_t>(h.total_size - pos < piece ? h.total_size - pos : piece);
    void* base = nullptr;
    size_t mapped = 0;
    const uint8_t* window = src.mappable ? map_window(src, pos, n, &base, &mapped) : nullptr;
    if (window) {
      take_piece(s, nullptr, window, pos, n);
      munmap(base, mapped);
    } else {
      take_read_pieces(s, src, pos, n);
    }
  }
  if (s.error == 0 && s.crc != h.crc) s.error = EIO;
  if (s.error != 0 && copy.truncate_on_failure && copy.out_fd >= 0 &&
      ftruncate(copy.out_fd, 0) != 0) { /* the archive is rewritten on the next attempt anyway */
  }
  return s.error;
}

bool payload_checks(const RecordSource& src, const RecordHeader& h, uint64_t available, int out_fd) {
  if (record_shape(h, available) != RecordShape::kOk) {
    if (ftruncate(out_fd, 0) != 0) { /* nothing was written */
    }
    return false;
  }
  StreamCopy copy;
  copy.out_fd = out_fd;
  copy.from = h.payload_offset;
  copy.truncate_on_failure = true;
  return stream_record(src, h, copy) == 0;
}
