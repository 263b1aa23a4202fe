#include "flash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "records.h"

using kvztest::Bytes;
using kvztest::pattern;

namespace {

constexpr uint32_t k64K = 0x10000;

template <typename F>
std::string console_of(F&& body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

// A partition image in an unlinked temporary file. Positioned reads and writes work on it but
// MEMERASE does not, so a rewrite that has to erase a block fails there.
struct TempPartition {
  explicit TempPartition(const Bytes& content) : file(tmpfile()) {
    fwrite(content.data(), 1, content.size(), file);
    fflush(file);
  }
  ~TempPartition() { fclose(file); }
  int fd() const { return fileno(file); }
  Bytes bytes() const {
    Bytes out(static_cast<size_t>(lseek(fd(), 0, SEEK_END)));
    EXPECT_EQ(pread(fd(), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
  }
  FILE* file;
};

class FlashTest : public testing::Test {
 protected:
  void SetUp() override { use_geometry(0x1000000, k64K); }
  void TearDown() override { debug_read = debug_write = debug_erase = 0; }
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

TEST_F(FlashTest, NoFlashRefusesEverythingSilently) {
  const Bytes before = pattern(2 * k64K, 3);
  TempPartition part(before);
  use_geometry(0, k64K);
  debug_read = debug_write = debug_erase = 1;
  Bytes buffer(16, 0xEE);
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_read(buffer.data(), part.fd(), 0, 16), -1);
              EXPECT_EQ(api_flash_write(pattern(16, 9).data(), part.fd(), 0, 16, 1), -1);
              EXPECT_EQ(api_flash_erase(part.fd(), 0, 16), -1);
            }),
            "");
  EXPECT_EQ(buffer, Bytes(16, 0xEE));
  EXPECT_EQ(part.bytes(), before);
}

TEST_F(FlashTest, ReadIsOnePositionedReadOfTheWholeRange) {
  const Bytes content = pattern(2 * k64K, 5);
  TempPartition part(content);
  Bytes buffer(4);
  debug_read = 1;
  const std::string out =
      console_of([&] { EXPECT_EQ(api_flash_read(buffer.data(), part.fd(), 0xFFFE, 4), 0); });
  EXPECT_EQ(buffer, Bytes(content.begin() + 0xFFFE, content.begin() + 0x10002));
  char expected[128];
  snprintf(expected, sizeof expected,
           "Flash Read 0x0000fffe to 0x00010001\nmtd read  0x0000fffe to 0x00010001 0x%08lx\n",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(buffer.data())));
  EXPECT_EQ(out, expected);
  debug_read = 0;
  EXPECT_EQ(api_flash_read(buffer.data(), part.fd(), 2 * k64K - 2, 4), -1);  // short
}

// Rewriting bytes a range already holds reads every block and erases none, so it succeeds
// even on a file that cannot be erased.
TEST_F(FlashTest, UnchangedBlocksAreSkippedWithProgress) {
  const Bytes content = pattern(3 * k64K, 11);
  TempPartition part(content);
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

TEST_F(FlashTest, RewriteFailuresStopAtTheFailingBlock) {
  const Bytes content = pattern(3 * k64K, 13);
  TempPartition part(content);
  Bytes source(content.begin() + 0xFFF0, content.begin() + 0x20010);
  source[0x100] ^= 0xFF;  // lands in block 1
  debug_write = 1;
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_write(source.data(), part.fd(), 0xFFF0, 0x10020, 1), -1);
            }),
            "Flash Write 0x0000fff0 to 0x0002000f (0x00000000 to 0x0002ffff) 3\n"
            "     \b\b\b\b000%Flash Write mtd erase failed.\n\n");
  EXPECT_EQ(part.bytes(), content);
  debug_write = 0;
  ASSERT_EQ(ftruncate(part.fd(), 2 * k64K + 100), 0);  // block 2 can no longer be read whole
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_write(content.data() + 100, part.fd(), 100, 2 * k64K, 0), -1);
            }),
            "Flash Write mtd read failed.\n\n");
  EXPECT_EQ(console_of([&] {
              EXPECT_EQ(api_flash_write(source.data(), part.fd(), 0x100, 0xFFFFFFFF, 0), -1);
            }),
            "Flash Write range out of bounds.\n\n");
}

TEST_F(FlashTest, EraseTouchesEachBlockOfTheRange) {
  TempPartition part(pattern(3 * k64K, 19));
  debug_erase = 1;
  EXPECT_EQ(console_of([&] { EXPECT_EQ(api_flash_erase(part.fd(), 0x10000, 1), -1); }),
            "Flash Erase 0x00010000 to 0x00010000 (0x00010000 to 0x0001ffff) 1\n"
            "mtd erase 0x00010000 to 0x0001ffff\n"
            "Flash Erase mtd erase failed.\n");
  debug_erase = 0;
  EXPECT_EQ(console_of([&] { EXPECT_EQ(api_flash_erase(part.fd(), 0x20000, 0), 0); }), "");
  EXPECT_EQ(console_of([&] { EXPECT_EQ(api_flash_erase(-1, 0xFFFF0000, 0x20000), -1); }),
            "Flash Erase range out of bounds.\n");
}

}  // namespace
