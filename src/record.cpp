#include "record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "crc.h"

void display_header(const uint32_t* header, uint32_t verbose) {
  if (verbose == 0) return;
  printf("  crc: 0x%08x\n", header[0]);
  printf("  len: 0x%08x\n", header[1]);
  printf("magic: 0x%08x\n", header[2]);
  printf("   id: 0x%08x\n", header[3]);
}

uint32_t swapw(uint32_t word) {
  return (word >> 24) | ((word >> 8) & 0xFF00u) | ((word << 8) & 0xFF0000u) | (word << 24);
}

RecordHeader decode_header(const uint8_t* raw) {
  RecordHeader h;
  h.crc = get_be32(raw);
  h.len = get_be32(raw + 4);
  h.magic = get_be32(raw + 8);
  h.id = get_be32(raw + 12);
  h.hdrlen = get_be16(raw + 18);
  h.extended = (h.magic & kMagicExtended) != 0;
  h.type_magic = h.magic & ~kMagicExtended;
  h.payload_offset = h.extended ? h.hdrlen : kStandardHeaderSize;
  h.total_size = h.payload_offset + h.len;
  return h;
}

void encode_header(uint8_t* out, uint32_t magic, uint32_t id, uint32_t len, uint16_t hdrlen) {
  const bool extended = (magic & kMagicExtended) != 0;
  const size_t size = extended ? hdrlen : kStandardHeaderSize;
  for (size_t i = 0; i < size; ++i) out[i] = 0;
  put_be32(out + 4, len);
  put_be32(out + 8, magic);
  put_be32(out + 12, id);
  if (extended && size >= kMinExtendedHeaderSize) put_be16(out + 18, hdrlen);
}

RecordShape record_shape(const RecordHeader& hdr, uint64_t available) {
  if (hdr.total_size > 0xFFFFFFFFu) return RecordShape::kWraps;
  if (hdr.extended && hdr.hdrlen < kMinExtendedHeaderSize) return RecordShape::kBelowHeader;
  if (hdr.total_size > available) return RecordShape::kPastEnd;
  return RecordShape::kOk;
}

const char* record_shape_text(RecordShape shape) {
  switch (shape) {
    case RecordShape::kOk:
      return "ok";
    case RecordShape::kWraps:
      return "size wraps 32 bits";
    case RecordShape::kBelowHeader:
      return "header length below 20";
    case RecordShape::kPastEnd:
      return "runs past end of file";
  }
  return "?";
}

const char* record_type_name(uint32_t type_magic) {
  switch (type_magic) {
    case kMagicApplication:
      return "APPLICATION";
    case kMagicBootLoader:
      return "UBOOT";
    case kMagicKernel:
      return "KERNEL";
    case kMagicRootFs:
      return "RFS";
    case kMagicDeviceTree:
      return "DFT";
    case kMagicDiagnostics:
      return "DIAGS";
    default:
      return nullptr;
  }
}

uint32_t partition_limit(uint32_t type_magic) {
  switch (type_magic) {
    case kMagicBootLoader:
      return 0x80000;
    case kMagicKernel:
      return 0x300000;
    case kMagicRootFs:
      return 0xF00000;
    case kMagicDeviceTree:
      return 0x40000;
    case kMagicDiagnostics:
      return 0xA00000;
    default:
      return 0;
  }
}

bool is_known_type(uint32_t type_magic) {
  return record_type_name(type_magic) != nullptr;
}

bool is_bootable_type(uint32_t type_magic) {
  return type_magic == kMagicApplication || type_magic == kMagicDiagnostics;
}

ssize_t pread_full(int fd, void* buf, size_t count, uint64_t offset) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, static_cast<uint8_t*>(buf) + done, count - done,
                            static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int bundle_walk_begin(BundleWalk* walk, int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  walk->fd = fd;
  walk->file_size = static_cast<uint64_t>(st.st_size);
  walk->next = 0;
  walk->ended = false;
  return 1;
}

int bundle_walk_next(BundleWalk* walk, BundleRecord* rec) {
  if (walk->ended || walk->file_size < kHeaderReadSize ||
      walk->next > walk->file_size - kHeaderReadSize) {
    walk->ended = true;
    return 0;
  }
  rec->offset = walk->next;
  if (pread_full(walk->fd, rec->raw, kHeaderReadSize, rec->offset) !=
      static_cast<ssize_t>(kHeaderReadSize)) {
    walk->ended = true;
    return 0;
  }
  rec->hdr = decode_header(rec->raw);
  rec->shape = record_shape(rec->hdr, walk->file_size - rec->offset);
  // An extended header shorter than its own fields still gives the record's size (hdrlen + len):
  // the walk goes on behind it, so that no record after it is left out. A record of size zero,
  // or one that runs past the end of the file or wraps, ends the walk.
  const bool sized = rec->shape == RecordShape::kOk ||
                     (rec->shape == RecordShape::kBelowHeader && rec->hdr.total_size > 0 &&
                      rec->hdr.total_size <= walk->file_size - rec->offset);
  if (sized) {
    walk->next = rec->offset + rec->hdr.total_size;
  } else {
    walk->ended = true;
  }
  return 1;
}

int record_crc_fd(int fd, uint64_t offset, const RecordHeader& hdr, uint8_t* buf, size_t buf_size,
                  uint32_t* crc_out) {
  uint32_t crc = kCrcInit;
  uint64_t pos = 4;
  while (pos < hdr.total_size) {
    const uint64_t left = hdr.total_size - pos;
    const size_t want = left < buf_size ? static_cast<size_t>(left) : buf_size;
    const ssize_t got = pread_full(fd, buf, want, offset + pos);
    if (got > 0) crc = gen_crc(buf, static_cast<uint32_t>(got), crc);
    if (got != static_cast<ssize_t>(want)) {
      *crc_out = crc;  // over the bytes that are there
      return -1;
    }
    pos += want;
  }
  *crc_out = crc;
  return 0;
}
