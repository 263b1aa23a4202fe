// The flash layer's block arithmetic at the edges the board cannot reach (the top of the 32-bit
// range, empty ranges), the geometry it accepts, and the ranges it refuses before touching a block.
#include "flash.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records.h"
#include "scratch.h"

using namespace kvztest;

namespace {

constexpr uint32_t k64K = 0x10000;

TEST(FlashBlocks, SpanAndPortions) {
  const struct {
    uint32_t offset, length, first, last;
    std::vector<std::pair<uint32_t, uint32_t>> portions;
  } cases[] = {
      {0xFFF0, 0x10020, 0, 0x2FFFF, {{0xFFF0, 16}, {0, 65536}, {0, 16}}},
      {0x8000, 0x10000, 0, 0x1FFFF, {{0x8000, 0x8000}, {0, 0x8000}}},
      {0xFFFF0000, 0x10000, 0xFFFF0000, 0xFFFFFFFF, {{0, 65536}}},
      {0x10005, 0, 0x10000, 0x1FFFF, {{5, 0}}},  // empty, inside a block
      {0x20000, 0, 0x20000, 0x1FFFF, {}},        // empty, at a block boundary: no block
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.offset << "+" << c.length);
    const BlockSpan span = flash_block_span(c.offset, c.length, k64K, 16);
    EXPECT_EQ(span.first, c.first);
    EXPECT_EQ(span.last, c.last);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (uint32_t i = 0, used = 0; i < span.count; used += got.back().second, ++i) {
      const BlockPortion p =
          flash_block_portion(span, i, span.first + i * k64K, c.offset, c.length, used, k64K);
      got.emplace_back(p.dest_offset, p.size);
    }
    EXPECT_EQ(got, c.portions);
  }
}

// Erase blocks must be a power of two of at least 1024 bytes; anything else leaves no usable
// flash.
TEST(FlashBlocks, GeometryTakesPowerOfTwoSizes) {
  const struct {
    uint32_t size, erase_size;
    std::string message;
    uint32_t shift;
  } cases[] = {
      {0x1000000, k64K, "", 16},
      {0x4000000, 0x20000, "", 17},
      {0, k64K, "NO FLASH !\n", 0},
      {0x1000000, 0x18000, "Unsupported MTD erase size 0x18000\n", 0},
      {0x1000000, 512, "Unsupported MTD erase size 0x200\n", 0},
      {0x1000000, 0, "Unsupported MTD erase size 0x0\n", 0},
  };
  for (const auto& c : cases) {
    theFlash = FlashGeometry{"unknown", 0, 0, 0, 0};
    EXPECT_EQ(console_of([&] { flash_set_geometry(c.size, c.erase_size); }), c.message);
    EXPECT_EQ(theFlash.total_size, c.shift ? c.size : 0);
    if (c.shift) {
      EXPECT_EQ(theFlash.sector_shift, c.shift);
    }
  }
  flash_set_geometry(0x1000000, k64K);
  EXPECT_STREQ(theFlash.name, "16MB w/256-64KB sectors");
  EXPECT_EQ(theFlash.sector_count, 256u);
}

// Ranges whose end wraps 32 bits are refused before any block is touched; an empty range at a
// block boundary touches none, and still draws its progress.
TEST(FlashBlocks, RangesThatWrapAreRefused) {
  flash_set_geometry(0x1000000, k64K);
  TempFile part(pattern(2 * k64K, 13));
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_write(pattern(16).data(), part.fd(), 0x100, 0xFFFFFFFF, 0), -1);
              EXPECT_EQ(api_flash_erase(-1, 0xFFFF0000, 0x20000), -1);
              EXPECT_EQ(api_flash_erase(-1, 0x20000, 0), 0);
              EXPECT_EQ(api_flash_write(nullptr, -1, k64K, 0, 1), 0);
            }),
            "Flash Write range out of bounds.\n\nFlash Erase range out of bounds.\n"
            "     \b\b\b\b100%\n");
  EXPECT_EQ(part.bytes(), pattern(2 * k64K, 13));
}

}  // namespace
