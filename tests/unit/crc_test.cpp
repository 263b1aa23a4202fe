// The record module: the checksum (its check value, the bitwise form and zlib as oracles, chunked
// updates), header decoding and record shapes. The bundle walk is proven through its users: the
// boot's bundle scan and kvzimage.
#include "crc.h"

#include <gtest/gtest.h>

#include <random>

#include "records.h"
#include "scratch.h"

#ifdef KVZ_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace kvztest;

namespace {

TEST(Checksum, AgreesWithItsOracles) {
  EXPECT_EQ(gen_crc("123456789", 9, kCrcInit), ~0xCBF43926u);  // the common CRC-32 check value
  EXPECT_EQ(gen_crc("123456789", 0, 0x12345678u), 0x12345678u);
  // Every alignment; short lengths, lengths around the three-lane stride, long ones.
  const Bytes data = pattern(1 << 20, 7);
  std::mt19937 rng(42);
  const auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  for (uint32_t round = 0; round < 400; ++round) {
    const uint32_t at = below(64), init = round % 3 ? kCrcInit : below(0xFFFFFFFFu);
    const uint32_t len = round < 64 ? round : round < 200 ? 3032 + below(80) : below(40000);
    ASSERT_EQ(gen_crc(&data[at], len, init), gen_crc_bitwise(&data[at], len, init))
        << at << "+" << len;
  }
#ifdef KVZ_HAVE_ZLIB
  for (int round = 0; round < 100; ++round) {
    const uint32_t at = below(61), len = below(static_cast<uint32_t>(data.size() - 64));
    ASSERT_EQ(gen_crc(&data[at], len, kCrcInit), ~static_cast<uint32_t>(crc32(0, &data[at], len)));
  }
#endif
  const uint32_t whole = gen_crc(data.data(), 100000, kCrcInit);
  uint32_t r = kCrcInit;
  for (uint32_t pos = 0, n = 0; pos < 100000; pos += n) {
    n = std::min<uint32_t>(100000 - pos, 1 + below(5000));
    r = gen_crc(&data[pos], n, r);
  }
  EXPECT_EQ(r, whole);
  EXPECT_EQ(CheckCrc(data.data(), 100000, whole), 0);
  EXPECT_EQ(CheckCrc(data.data(), 100000, whole ^ 1), 1);
  EXPECT_EQ(CheckCrc(data.data(), 99999, whole), 1);
  EXPECT_EQ(swapw(0x11223344u), 0x44332211u);
  const uint32_t words[4] = {0x1, 0xABCDEF, 0x814B565Au, 0x01020304};
  EXPECT_EQ(console_of([&] {
              display_header(words, 0);
              display_header(words, 1);
            }),
            "  crc: 0x00000001\n  len: 0x00abcdef\nmagic: 0x814b565a\n   id: 0x01020304\n");
}

// Fields are big-endian, the type byte leads the magic word; sizes are computed in 64 bits and
// classified against the bytes available from the record's start.
TEST(RecordHeader, FieldsAndShapes) {
  const Bytes standard = make_record(kMagicKernel, 0x01020304, pattern(40));
  EXPECT_EQ(slice(standard, 4, 12), (Bytes{0, 0, 0, 40, 3, 'K', 'V', 'Z', 1, 2, 3, 4}));
  RecordHeader h = decode_header(standard.data());
  EXPECT_EQ(h.crc, get_be32(standard.data()));
  EXPECT_EQ(CheckCrc(standard.data() + 4, 52, h.crc), 0);
  EXPECT_EQ(
      std::tie(h.len, h.magic, h.type_magic, h.id, h.extended, h.payload_offset, h.total_size),
      std::make_tuple(40u, kMagicKernel, kMagicKernel, 0x01020304u, false, 16ull, 56ull));
  h = decode_header(make_record(kMagicApplication, 7, pattern(10), 32).data());
  EXPECT_EQ(std::tie(h.magic, h.type_magic, h.hdrlen, h.extended, h.payload_offset, h.total_size),
            std::make_tuple(kMagicApplication | kMagicExtended, kMagicApplication, uint16_t{32},
                            true, 32ull, 42ull));
  const uint32_t ext = kMagicApplication | kMagicExtended;
  const struct {
    Bytes header;
    uint64_t available;
    RecordShape shape;
  } cases[] = {
      {standard, 56, RecordShape::kOk},
      {standard, 55, RecordShape::kPastEnd},
      {bare_header(ext, 100, 20), 120, RecordShape::kOk},
      {bare_header(ext, 100, 20), 119, RecordShape::kPastEnd},
      // hdrlen + len wraps 32 bits: an 8-byte record in 32-bit arithmetic.
      {bare_header(ext, 0xFFFFFFF8u, 16), 1u << 30, RecordShape::kWraps},
      {bare_header(kMagicApplication, 0xFFFFFFF8u, 0), 1ull << 40, RecordShape::kWraps},
      // Extended headers shorter than the bytes that hold hdrlen, down to the zero-size record.
      {bare_header(ext, 0, 0), 100, RecordShape::kBelowHeader},
      {bare_header(ext, 100, 19), 1000, RecordShape::kBelowHeader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.header));
    EXPECT_EQ(record_shape(decode_header(c.header.data()), c.available), c.shape);
  }
}

}  // namespace
