// The record decoding and the bundle walk over the fuzz bytes as a bundle file: every header the
// walk meets lies where the previous record ends, a record whose sizes fit is checked whole (in
// small pieces, to the checksum of its bytes in one piece), one that does not fit cannot be read
// past the end, and the walk stops early only after such a record.
#include <cstring>

#include "record.h"
#include "fuzz.h"

using kvzfuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = kvzfuzz::memfd_holding(data, size);
  const kvzfuzz::NoLeaks no_leaks;
  if (gen_crc(data, static_cast<uint32_t>(size), 7) !=
      gen_crc_bitwise(data, static_cast<uint32_t>(size), 7))
    fail("gen_crc differs from the bitwise checksum");
  BundleWalk walk;
  if (!bundle_walk_begin(&walk, fd)) fail("bundle_walk_begin");
  BundleRecord rec;
  uint64_t end = 0;  // of the last record whose sizes fit
  bool all_fit = true;
  while (bundle_walk_next(&walk, &rec)) {
    if (!all_fit || rec.offset != end || rec.offset + kHeaderReadSize > size ||
        memcmp(rec.raw, data + rec.offset, kHeaderReadSize) != 0)
      fail("header out of place");
    uint8_t piece[61];
    uint32_t crc = 0;
    const int got = record_crc_fd(fd, rec.offset, rec.hdr, piece, sizeof piece, &crc);
    const uint64_t total = rec.hdr.total_size;
    if (rec.shape == RecordShape::kOk) {
      if (total > size - rec.offset || (rec.hdr.extended && rec.hdr.hdrlen < 20) || total < 16)
        fail("a record that does not fit passes for one that does");
      if (got != 0 ||
          crc != gen_crc(data + rec.offset + 4, static_cast<uint32_t>(total - 4), kCrcInit))
        fail("record_crc_fd differs from the checksum of the record's bytes");
      end = rec.offset + total;
    } else if (rec.shape == RecordShape::kBelowHeader && total > 0 && total <= size - rec.offset) {
      end = rec.offset + total;  // walked past
    } else {
      all_fit = false;
      if (rec.shape != RecordShape::kBelowHeader && got != -1) fail("read past the end");
    }
  }
  if (all_fit && size - end >= kHeaderReadSize) fail("walk ended early");
  return 0;
}
