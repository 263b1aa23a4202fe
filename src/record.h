// Image records: header layout, record types, partition limits and the bundle walk.
//
// A record is a header followed by its payload. The header is 16 bytes (crc, len, magic, id,
// all big-endian), longer when bit 31 of magic is set: then bytes 18-19 hold hdrlen, the size of
// the whole header. The crc word covers the record from byte 4 to its last payload byte. A bundle
// is records back to back from byte 0, without padding or trailer.
//
// This module is shared by the launcher and the host tools, so everything here decodes bytes
// explicitly and is correct on both byte orders.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "crc.h"

// ---- Big-endian fields ----------------------------------------------------------------------

[[nodiscard]] inline uint32_t get_be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
[[nodiscard]] inline uint16_t get_be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// ---- Record header --------------------------------------------------------------------------

inline constexpr uint32_t kMagicTag = 0x4B565Au;  // "KVZ" in bits 23-0
inline constexpr uint32_t kMagicExtended = 0x80000000u;
inline constexpr uint32_t kMagicApplication = 0x014B565Au;
inline constexpr uint32_t kMagicBootLoader = 0x024B565Au;
inline constexpr uint32_t kMagicKernel = 0x034B565Au;
inline constexpr uint32_t kMagicRootFs = 0x044B565Au;
inline constexpr uint32_t kMagicDeviceTree = 0x054B565Au;
inline constexpr uint32_t kMagicDiagnostics = 0x064B565Au;

inline constexpr uint32_t kStandardHeaderSize = 16;
// Readers always take the first 20 bytes of a record: the standard header and hdrlen.
inline constexpr size_t kHeaderReadSize = 20;
// An extended header is at least as long as the bytes that carry hdrlen.
inline constexpr uint32_t kMinExtendedHeaderSize = 20;
// A boot-loader payload carries a copy of its record's header at this offset.
inline constexpr uint32_t kEmbeddedHeaderOffset = 240;

struct RecordHeader {
  uint32_t crc = 0;
  uint32_t len = 0;
  uint32_t magic = 0;  // as stored, bit 31 included
  uint32_t id = 0;
  uint16_t hdrlen = 0;  // bytes 18-19; only meaningful for an extended header
  bool extended = false;
  uint32_t type_magic = 0;      // magic with bit 31 cleared: what the record is
  uint64_t payload_offset = 0;  // header size: 16, or hdrlen when extended
  uint64_t total_size = 0;      // payload_offset + len, computed without wrapping
};

// Decodes the first kHeaderReadSize bytes of a record.
[[nodiscard]] RecordHeader decode_header(const uint8_t* raw);

// How a record's sizes fit the file that holds it. Sizes are untrusted: anything but kOk is a
// record that must not be read, and readers treat it as one whose check fails.
enum class RecordShape {
  kOk,
  kWraps,        // hdrlen + len does not fit in 32 bits
  kBelowHeader,  // extended header shorter than the bytes that carry hdrlen (total below 4 too)
  kPastEnd,      // the record runs past the end of the file
};

// `available` is the number of bytes from the record's first byte to the end of the file.
[[nodiscard]] RecordShape record_shape(const RecordHeader& hdr, uint64_t available);
[[nodiscard]] const char* record_shape_text(RecordShape shape);

// Short name of a known record type ("APPLICATION", "UBOOT", ...), nullptr for an unknown one.
[[nodiscard]] const char* record_type_name(uint32_t type_magic);
[[nodiscard]] bool is_known_type(uint32_t type_magic);
// Application and diagnostics records carry a bootable gzip'd tar archive.
[[nodiscard]] bool is_bootable_type(uint32_t type_magic);

// The most a flash partition takes of a record of this type: the whole record, or for the boot
// loader (stored without its header) the payload; 0 for types with no partition (applications,
// unknown types).
[[nodiscard]] uint32_t partition_limit(uint32_t type_magic);

// Writes the header of a record into out: 16 bytes, or hdrlen bytes when magic has bit 31 set
// (hdrlen in bytes 18-19, every other extended byte 0). The crc word is left 0: the checksum
// covers the header from byte 4 on and the payload, so the writer computes it once both are known.
void encode_header(uint8_t* out, uint32_t magic, uint32_t id, uint32_t len, uint16_t hdrlen);

// Prints crc, len, magic and id (host-order words) on standard output when verbose is nonzero.
void display_header(const uint32_t* header, uint32_t verbose);

// Reverses the four bytes of a word.
[[nodiscard]] uint32_t swapw(uint32_t word);

// ---- Bundle walk ----------------------------------------------------------------------------

// One record header met by the walk.
struct BundleRecord {
  uint64_t offset = 0;  // of the record's first byte in the file
  uint8_t raw[kHeaderReadSize] = {};
  RecordHeader hdr;
  RecordShape shape = RecordShape::kOk;
};

// Walks a bundle through an open file descriptor with positioned reads (the descriptor's own
// offset is not used). The walk always advances: an extended header below its 20 bytes is walked
// past by hdrlen + len; after a record of size zero, or one past the end of the file, it ends,
// since the next record's position is then unknown.
struct BundleWalk {
  int fd = -1;
  uint64_t file_size = 0;
  uint64_t next = 0;
  bool ended = false;
};

// Starts a walk at offset 0 of fd. Returns 0 when the file's size cannot be read.
[[nodiscard]] int bundle_walk_begin(BundleWalk* walk, int fd);

// Reads the header of the next record into *rec. Returns 1 when a header was read, 0 when the
// bundle has ended (fewer than kHeaderReadSize bytes remain, a read failed, or the previous
// record's sizes were unusable).
[[nodiscard]] int bundle_walk_next(BundleWalk* walk, BundleRecord* rec);

// Reads count bytes at offset, retrying interrupted and partial reads; the number of bytes read
// (short only at the end of the file), or -1 on an error.
[[nodiscard]] ssize_t pread_full(int fd, void* buf, size_t count, uint64_t offset);

// Computes the record check over bytes 4 .. total_size-1 of the record at `offset` of fd, reading
// through `buf`. Returns 0 and stores the checksum in *crc_out, or -1 when a read comes up short
// (or fails), with the checksum of the bytes read until then in *crc_out.
[[nodiscard]] int record_crc_fd(int fd, uint64_t offset, const RecordHeader& hdr, uint8_t* buf,
                                size_t buf_size, uint32_t* crc_out);
