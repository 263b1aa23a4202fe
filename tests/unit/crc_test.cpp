#include "crc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "records.h"
#include "scratch.h"

#ifdef KVZ_HAVE_ZLIB
#include <zlib.h>
#endif

using kvztest::bare_header;
using kvztest::Bytes;
using kvztest::make_record;
using kvztest::pattern;
using kvztest::TempFile;

namespace {

uint32_t crc_of(const Bytes& b) {
  return gen_crc(b.data(), static_cast<uint32_t>(b.size()), kCrcInit);
}

// Every record the walk meets in a bundle file.
std::vector<BundleRecord> walk(const Bytes& bundle) {
  const TempFile file(bundle);
  std::vector<BundleRecord> out;
  BundleWalk w;
  EXPECT_EQ(bundle_walk_begin(&w, file.fd()), 1);
  BundleRecord rec;
  while (bundle_walk_next(&w, &rec)) {
    out.push_back(rec);
    if (out.size() > 1000) break;  // a walk that does not advance
  }
  return out;
}

// Computed by a static initializer, before main: the tables must already be built for it.
const uint32_t kCheckValueBeforeMain = gen_crc("123456789", 9, kCrcInit);

TEST(Checksum, CheckValueAndComplementOfCommonCrc32) {
  const char* digits = "123456789";
  EXPECT_EQ(kCheckValueBeforeMain, 0x340BC6D9u);
  EXPECT_EQ(gen_crc(digits, 9, kCrcInit), 0x340BC6D9u);
  EXPECT_EQ(gen_crc_bitwise(digits, 9, kCrcInit), 0x340BC6D9u);
  EXPECT_EQ(~gen_crc(digits, 9, kCrcInit), 0xCBF43926u);
  EXPECT_EQ(gen_crc(digits, 0, 0x12345678u), 0x12345678u);  // no bytes, register unchanged
}

TEST(Checksum, TableFormMatchesBitwiseAtEveryLengthAndAlignment) {
  const Bytes data = pattern(40000 + 64, 7);
  std::mt19937 rng(42);
  for (int round = 0; round < 400; ++round) {
    const uint32_t start = static_cast<uint32_t>(rng()) % 64;
    // Short lengths, then lengths around the three-lane stride, then long ones.
    uint32_t len = static_cast<uint32_t>(round);
    if (round >= 64) len = 3072 - 40 + static_cast<uint32_t>(rng()) % 80;
    if (round >= 200) len = static_cast<uint32_t>(rng()) % 40000;
    const uint32_t init = round % 3 ? kCrcInit : static_cast<uint32_t>(rng());
    ASSERT_EQ(gen_crc(data.data() + start, len, init),
              gen_crc_bitwise(data.data() + start, len, init))
        << "start " << start << " len " << len;
  }
}

#ifdef KVZ_HAVE_ZLIB
TEST(Checksum, EqualsComplementOfZlibOnRandomBuffers) {
  std::mt19937 rng(1234);
  Bytes data(1 << 20);
  for (auto& b : data) b = static_cast<uint8_t>(static_cast<uint32_t>(rng()));
  for (int round = 0; round < 200; ++round) {
    const uint32_t start = static_cast<uint32_t>(rng()) % 61;
    const uint32_t len = static_cast<uint32_t>(rng()) % static_cast<uint32_t>(data.size() - start);
    const uLong z = crc32(0L, data.data() + start, len);
    ASSERT_EQ(gen_crc(data.data() + start, len, kCrcInit), static_cast<uint32_t>(~z))
        << "start " << start << " len " << len;
  }
}
#endif

TEST(Checksum, ChunkedEqualsWhole) {
  const Bytes data = pattern(100000, 3);
  const uint32_t whole = crc_of(data);
  std::mt19937 rng(99);
  for (int round = 0; round < 50; ++round) {
    uint32_t r = kCrcInit;
    size_t pos = 0;
    while (pos < data.size()) {
      const size_t n = std::min<size_t>(data.size() - pos, 1 + static_cast<uint32_t>(rng()) % 5000);
      r = gen_crc(data.data() + pos, static_cast<uint32_t>(n), r);
      pos += n;
    }
    ASSERT_EQ(r, whole);
  }
}

TEST(Checksum, CheckCrcAndSwapw) {
  const Bytes data = pattern(1000);
  const uint32_t good = crc_of(data);
  EXPECT_EQ(CheckCrc(data.data(), 1000, good), 0);
  EXPECT_EQ(CheckCrc(data.data(), 1000, good ^ 1u), 1);
  EXPECT_EQ(CheckCrc(data.data(), 999, good), 1);
  EXPECT_EQ(swapw(0x11223344u), 0x44332211u);
  EXPECT_EQ(swapw(swapw(0xDEADBEEFu)), 0xDEADBEEFu);
}

TEST(Checksum, DisplayHeaderPrintsFourWordsOnlyWhenVerbose) {
  const uint32_t words[4] = {0x1, 0xABCDEF, 0x814B565Au, 0x01020304};
  testing::internal::CaptureStdout();
  display_header(words, 0);
  display_header(words, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  crc: 0x00000001\n  len: 0x00abcdef\nmagic: 0x814b565a\n   id: 0x01020304\n");
}

TEST(RecordHeader, DecodesStandardHeaderBigEndian) {
  const Bytes rec = make_record(kMagicKernel, 0x01020304, pattern(40));
  const RecordHeader h = decode_header(rec.data());
  EXPECT_EQ(rec[8], 0x03);  // the type byte leads the magic word in the file
  EXPECT_EQ(h.len, 40u);
  EXPECT_EQ(h.magic, kMagicKernel);
  EXPECT_EQ(h.type_magic, kMagicKernel);
  EXPECT_EQ(h.id, 0x01020304u);
  EXPECT_FALSE(h.extended);
  EXPECT_EQ(h.payload_offset, 16u);
  EXPECT_EQ(h.total_size, 56u);
  EXPECT_EQ(h.crc, get_be32(rec.data()));
  EXPECT_EQ(CheckCrc(rec.data() + 4, 52, h.crc), 0);
  EXPECT_EQ(record_shape(h, rec.size()), RecordShape::kOk);
}

TEST(RecordHeader, DecodesExtendedHeader) {
  const Bytes rec = make_record(kMagicApplication, 7, pattern(10), 32);
  const RecordHeader h = decode_header(rec.data());
  EXPECT_TRUE(h.extended);
  EXPECT_EQ(h.magic, kMagicApplication | kMagicExtended);
  EXPECT_EQ(h.type_magic, kMagicApplication);
  EXPECT_EQ(h.hdrlen, 32u);
  EXPECT_EQ(h.payload_offset, 32u);
  EXPECT_EQ(h.total_size, 42u);
  EXPECT_EQ(CheckCrc(rec.data() + 4, 38, h.crc), 0);
}

TEST(RecordHeader, MalformedSizesAreNeverSmallRecords) {
  const uint32_t ext_app = kMagicApplication | kMagicExtended;
  // hdrlen + len wraps 32 bits: would look like an 8-byte record in 32-bit arithmetic.
  RecordHeader h = decode_header(bare_header(ext_app, 0xFFFFFFF8u, 16 + 0).data());
  EXPECT_EQ(h.total_size, 0xFFFFFFF8ull + 16);
  EXPECT_EQ(record_shape(h, 1u << 30), RecordShape::kWraps);
  h = decode_header(bare_header(kMagicApplication, 0xFFFFFFF8u, 0).data());
  EXPECT_EQ(record_shape(h, 1ull << 40), RecordShape::kWraps);
  // Extended headers shorter than the bytes that hold hdrlen, down to the zero-size record.
  h = decode_header(bare_header(ext_app, 0, 0).data());
  EXPECT_EQ(h.total_size, 0u);
  EXPECT_EQ(record_shape(h, 100), RecordShape::kBelowHeader);
  h = decode_header(bare_header(ext_app, 2, 1).data());
  EXPECT_EQ(record_shape(h, 100), RecordShape::kBelowHeader);
  h = decode_header(bare_header(ext_app, 100, 19).data());
  EXPECT_EQ(record_shape(h, 1000), RecordShape::kBelowHeader);
  h = decode_header(bare_header(ext_app, 100, 20).data());
  EXPECT_EQ(record_shape(h, 120), RecordShape::kOk);
  // Running past the end of the file by one byte.
  EXPECT_EQ(record_shape(h, 119), RecordShape::kPastEnd);
}

TEST(BundleWalk, StepsOverRecordsOfEverySizeAndHeaderKind) {
  const Bytes a = make_record(kMagicBootLoader, 1, pattern(300));
  const Bytes b = make_record(kMagicKernel, 2, pattern(5), 32);
  const Bytes c = make_record(kMagicRootFs, 3, {});  // len 0: 16 bytes
  const Bytes d = make_record(kMagicApplication, 4, pattern(64));
  const Bytes bundle = kvztest::concat({a, b, c, d});
  const auto recs = walk(bundle);
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[0].offset, 0u);
  EXPECT_EQ(recs[1].offset, a.size());
  EXPECT_EQ(recs[2].offset, a.size() + b.size());
  EXPECT_EQ(recs[3].offset, a.size() + b.size() + c.size());
  EXPECT_EQ(recs[3].hdr.type_magic, kMagicApplication);
  for (const auto& r : recs) EXPECT_EQ(r.shape, RecordShape::kOk);

  uint8_t buf[37];
  uint32_t crc = 0;
  const TempFile file(bundle);
  ASSERT_EQ(record_crc_fd(file.fd(), recs[1].offset, recs[1].hdr, buf, sizeof buf, &crc), 0);
  EXPECT_EQ(crc, recs[1].hdr.crc);
}

TEST(BundleWalk, ShortTailsEndTheBundle) {
  EXPECT_TRUE(walk({}).empty());
  EXPECT_TRUE(walk(Bytes(19, 0)).empty());
  // A final record below 20 bytes (len 3) is not seen.
  const Bytes a = make_record(kMagicKernel, 1, pattern(30));
  const Bytes tiny = make_record(kMagicApplication, 2, pattern(3));
  EXPECT_EQ(walk(kvztest::concat({a, tiny})).size(), 1u);
  // The same record followed by anything that makes 20 bytes available is seen.
  EXPECT_EQ(walk(kvztest::concat({a, tiny, Bytes(1, 0)})).size(), 2u);
}

TEST(BundleWalk, UnusableSizesEndTheWalkInsteadOfLooping) {
  Bytes zero = bare_header(kMagicApplication | kMagicExtended, 0, 0);
  zero.resize(64, 0);
  auto recs = walk(zero);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].shape, RecordShape::kBelowHeader);

  const Bytes a = make_record(kMagicKernel, 1, pattern(30));
  Bytes truncated = make_record(kMagicRootFs, 2, pattern(100));
  truncated.resize(60);
  recs = walk(kvztest::concat({a, truncated}));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1].shape, RecordShape::kPastEnd);

  uint8_t buf[64];
  uint32_t crc = 0;
  const TempFile t(truncated);
  EXPECT_EQ(record_crc_fd(t.fd(), 0, decode_header(truncated.data()), buf, sizeof buf, &crc), -1);
}

}  // namespace
