#include "flash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "records.h"
#include "scratch.h"

using kvztest::Bytes;
using kvztest::console_of;
using kvztest::pattern;
using kvztest::TempFile;

namespace {

constexpr uint32_t k64K = 0x10000;

class FlashTest : public testing::Test {
 protected:
  void SetUp() override { use_geometry(0x1000000, k64K); }
  static std::string use_geometry(uint32_t size, uint32_t erase_size) {
    theFlash = FlashGeometry{"unknown", 0, 0, 0, 0};
    return console_of([&] { flash_set_geometry(size, erase_size); });
  }
};

TEST(FlashBlocks, SpanAndPortions) {
  struct Case {
    uint32_t offset, length, first, last, count;
    std::vector<std::pair<uint32_t, uint32_t>> parts;
  };
  const Case cases[] = {
      {0xFFF0, 0x10020, 0, 0x2FFFF, 3, {{0xFFF0, 16}, {0, 65536}, {0, 16}}},
      {0x10, 100, 0, 0xFFFF, 1, {{0x10, 100}}},
      {0x10000, 1, 0x10000, 0x1FFFF, 1, {{0, 1}}},
      {0x20000, 0x20000, 0x20000, 0x3FFFF, 2, {{0, 65536}, {0, 65536}}},
      {0x8000, 0x10000, 0, 0x1FFFF, 2, {{0x8000, 0x8000}, {0, 0x8000}}},
      {0xFFFF0000, 0x10000, 0xFFFF0000, 0xFFFFFFFF, 1, {{0, 65536}}},
      {0x10005, 0, 0x10000, 0x1FFFF, 1, {{5, 0}}},  // empty, inside a block
      {0x20000, 0, 0x20000, 0x1FFFF, 0, {}},        // empty, at a block boundary
      {0, 0, 0, 0xFFFFFFFF, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.offset << "+" << c.length);
    const BlockSpan span = flash_block_span(c.offset, c.length, k64K, 16);
    EXPECT_EQ(span.first, c.first);
    EXPECT_EQ(span.last, c.last);
    EXPECT_EQ(span.count, c.count);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (uint32_t i = 0, used = 0; i < span.count; ++i) {
      const BlockPortion p =
          flash_block_portion(span, i, span.first + i * k64K, c.offset, c.length, used, k64K);
      got.emplace_back(p.dest_offset, p.size);
      used += p.size;
    }
    EXPECT_EQ(got, c.parts);
  }
}

TEST_F(FlashTest, Geometry) {
  EXPECT_EQ(use_geometry(0x1000000, k64K), "");
  EXPECT_STREQ(theFlash.name, "16MB w/256-64KB sectors");
  EXPECT_EQ(theFlash.sector_count, 256u);
  EXPECT_EQ(theFlash.sector_shift, 16u);
  EXPECT_EQ(theFlash.total_size, 0x1000000u);
  use_geometry(0x4000000, 0x20000);
  EXPECT_EQ(theFlash.sector_shift, 17u);

  const std::pair<uint32_t, const char*> unusable[] = {
      {0, "NO FLASH !\n"},
      {0x18000, "Unsupported MTD erase size 0x18000\n"},
      {512, "Unsupported MTD erase size 0x200\n"},
  };
  for (const auto& [erase_size, message] : unusable) {
    EXPECT_EQ(use_geometry(erase_size ? 0x1000000 : 0, erase_size), message);
    EXPECT_EQ(theFlash.total_size, 0u);
  }
  EXPECT_EQ(use_geometry(0x1000000, 0), "Unsupported MTD erase size 0x0\n");
}

TEST_F(FlashTest, InitWithoutMtdDevices) {
  if (access("/dev/mtd-kernel", F_OK) == 0) GTEST_SKIP() << "this machine has MTD partitions";
  theFlash = FlashGeometry{"unknown", 0, 0, 0, 0};
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_flash_init(), -1); }),
            "Could not get MTD device info \n");
  EXPECT_EQ(flash_fd, -1);
  EXPECT_EQ(theFlash.total_size, 0u);
}

// Rewriting bytes a range already holds reads every block and erases none, so it succeeds
// even on a file that cannot be erased.
TEST_F(FlashTest, UnchangedBlocksAreSkippedWithProgress) {
  const Bytes content = pattern(3 * k64K, 11);
  TempFile part(content);
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_write(content.data() + 0xFFF0, part.fd(), 0xFFF0, 0x10020, 1), 0);
            }),
            "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
  EXPECT_EQ(
      console_of([&] { EXPECT_EQ(api_flash_write(content.data(), part.fd(), 0, k64K, 1), 0); }),
      "     \b\b\b\b000%\b\b\b\b100%\n");
  EXPECT_EQ(part.bytes(), content);
  // An empty range at a block boundary touches no block at all.
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_flash_write(nullptr, -1, k64K, 0, 1), 0); }),
            "     \b\b\b\b100%\n");
}

// Ranges whose end wraps 32 bits are refused before any block is touched; an empty erase touches
// no block at all.
TEST_F(FlashTest, RangesThatWrapAreRefused) {
  TempFile part(pattern(2 * k64K, 13));
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_write(pattern(16).data(), part.fd(), 0x100, 0xFFFFFFFF, 0), -1);
            }),
            "Flash Write range out of bounds.\n\n");
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_flash_erase(-1, 0xFFFF0000, 0x20000), -1); }),
            "Flash Erase range out of bounds.\n");
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_flash_erase(-1, 0x20000, 0), 0); }), "");
  EXPECT_EQ(part.bytes(), pattern(2 * k64K, 13));
}

}  // namespace
