// Board storage on the virtual board: flash partition rewrites and erases, the VPD EEPROM and the
// boot options, driven through the modules by the stand-in launcher kvzsim_storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "records.h"
#include "sim.h"

using namespace kvzsim;

namespace {

constexpr uint32_t kBlock = 65536;
constexpr size_t kKernelSize = 3u << 20;
constexpr size_t kKernelBlocks = kKernelSize / kBlock;

using kvztest::slice;

void fill_bytes(Bytes* b, size_t at, size_t n, uint8_t value) {
  std::fill(b->begin() + static_cast<long>(at), b->begin() + static_cast<long>(at + n), value);
}

void put_bytes(Bytes* b, size_t at, const Bytes& data) {
  std::copy(data.begin(), data.end(), b->begin() + static_cast<long>(at));
}

// Compares whole partition images and names the first differing byte instead of dumping megabytes.
::testing::AssertionResult same_bytes(const Bytes& got, const Bytes& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << ", want " << want.size();
  size_t differ = 0, first = 0;
  for (size_t i = got.size(); i-- > 0;) {
    if (got[i] != want[i]) {
      ++differ;
      first = i;
    }
  }
  if (differ == 0) return ::testing::AssertionSuccess();
  char where[128];
  snprintf(where, sizeof where, "%zu bytes differ, first at 0x%zx: 0x%02x, want 0x%02x", differ,
           first, got[first], want[first]);
  return ::testing::AssertionFailure() << where;
}

// Erase counts per block: zero except for the blocks listed.
std::vector<uint32_t> erases(size_t blocks, std::vector<std::pair<size_t, uint32_t>> counted = {}) {
  std::vector<uint32_t> counts(blocks, 0);
  for (const auto& [block, n] : counted) counts.at(block) = n;
  return counts;
}

// What the rewrite draws with progress on: five blanks, then after each block the share of the
// blocks finished before it, then 100% and a newline.
std::string progress(uint32_t blocks) {
  std::string text = "     ";
  for (uint32_t i = 0; i < blocks; ++i) {
    char step[16];
    snprintf(step, sizeof step, "\b\b\b\b%03u%%", i * 100 / blocks);
    text += step;
  }
  return text + "\b\b\b\b100%\n";
}

// The trace lines of mtd_read and mtd_write end in the buffer's address, which differs from run
// to run: it becomes "ADDR".
std::vector<std::string> masked_lines(const std::string& text) {
  std::vector<std::string> out = lines_of(text);
  for (std::string& line : out) {
    if (line.rfind("mtd read  ", 0) != 0 && line.rfind("mtd write ", 0) != 0) continue;
    const size_t sp = line.rfind(' ');
    if (line.compare(sp + 1, 2, "0x") == 0 && line.size() > sp + 3)
      line = line.substr(0, sp) + " ADDR";
  }
  return out;
}

std::string span_line(const char* what, uint32_t from, uint32_t to) {
  char line[96];
  snprintf(line, sizeof line, "mtd %s 0x%08x to 0x%08x%s", what, from, to,
           std::string(what) == "erase" ? "" : " ADDR");
  return line;
}

// One trace line per 1024-byte piece of a block: the pieces written, or read back to check them.
void add_pieces(std::vector<std::string>* lines, const char* what, uint32_t block) {
  for (uint32_t j = 0; j < kBlock; j += 1024)
    lines->push_back(span_line(what, block + j, block + j + 1023));
}

class StorageTest : public ::testing::TestWithParam<Target> {
 protected:
  Boot drive(const Board& board, const std::string& script,
             const std::vector<std::string>& extra = {}) {
    return run_script(board, GetParam(), "kvzsim_storage", script, extra);
  }
};

// ---- Rewrites -------------------------------------------------------------------------------

// Every rewrite below lands on a kernel partition full of known, non-erased bytes, so that any
// byte the rewrite should not have touched shows.
class RewriteTest : public StorageTest {
 protected:
  RewriteTest() : board({"--blank"}), old(kvztest::pattern(kKernelSize, 7)) {
    board.write("flash/kernel", old);
  }
  Board board;
  const Bytes old;
};

TEST_P(RewriteTest, RangeOverThreeBlocksKeepsBothEdges) {
  // A source without repeats, so that a portion taken from the wrong place shows.
  const Bytes src = kvztest::pattern(0x10020, 99);
  board.write("user/src.bin", src);
  const Boot r = drive(board, "flash_init\nwrite kernel 0xfff0 0x10020 file=/user/src.bin 0\n");
  EXPECT_EQ(r.out, "flash_init=0\nwrite=0\n");
  const Bytes kernel = board.read("flash/kernel");
  Bytes want = old;
  put_bytes(&want, 0xfff0, src);
  EXPECT_TRUE(same_bytes(kernel, want));
  // The last 16 bytes of block 0, all of block 1, the first 16 bytes of block 2.
  EXPECT_EQ(slice(kernel, 0xffef, 2), (Bytes{old[0xffef], src[0]}));
  EXPECT_EQ(slice(kernel, 0x2000f, 2), (Bytes{src.back(), old[0x20010]}));
  EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks, {{0, 1}, {1, 1}, {2, 1}}));
}

// Reinstalling a kernel erases only the blocks whose bytes change: the kernel record as the
// installer writes it (progress on), then the whole partition.
TEST_P(StorageTest, KernelRewriteErasesOnlyChangedBlocks) {
  Board board({"--blank"});
  // A kernel record of 2.5 MiB and a little more: 40 whole blocks and part of a 41st.
  const Bytes record =
      kvztest::make_record(kMagicKernel, 0x03000102, kvztest::pattern((5u << 19) + 1000, 3));
  ASSERT_EQ(record.size(), 2622456u);
  Bytes partition(kKernelSize, 0xff);
  put_bytes(&partition, 0, record);
  board.write("flash/kernel", partition);
  board.write("user/kernel.img", record);
  const std::string write_record = "flash_init\nwrite kernel 0 2622456 file=/user/kernel.img 1\n";
  const std::string want_out = "flash_init=0\n" + progress(41) + "write=0\n";

  Boot r = drive(board, write_record);
  EXPECT_EQ(r.out, want_out);
  EXPECT_TRUE(same_bytes(board.read("flash/kernel"), partition));
  EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks));

  // One changed byte in block 5.
  Bytes changed = record;
  changed[5 * kBlock + 0x1234] ^= 0x5a;
  board.write("user/kernel.img", changed);
  board.clear_logs();
  r = drive(board, write_record);
  EXPECT_EQ(r.out, want_out);
  put_bytes(&partition, 0, changed);
  EXPECT_TRUE(same_bytes(board.read("flash/kernel"), partition));
  EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks, {{5, 1}}));

  // The whole 3 MiB partition, unchanged and then with one byte of block 5 changed back.
  const std::string write_all = "flash_init\nwrite kernel 0 0x300000 file=/user/kernel.part 0\n";
  board.write("user/kernel.part", partition);
  board.clear_logs();
  r = drive(board, write_all);
  EXPECT_EQ(r.out, "flash_init=0\nwrite=0\n");
  EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks));
  put_bytes(&partition, 0, record);
  board.write("user/kernel.part", partition);
  board.clear_logs();
  r = drive(board, write_all);
  EXPECT_EQ(r.out, "flash_init=0\nwrite=0\n");
  EXPECT_TRUE(same_bytes(board.read("flash/kernel"), partition));
  EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks, {{5, 1}}));
}

// ---- Failures during a rewrite --------------------------------------------------------------

struct Fill {
  size_t at, n;
  uint8_t value;
};

struct FailureCase {
  const char* name;
  const char* fault;
  const char* message;
  std::vector<Fill> changes;  // what the partition holds afterwards, over the old bytes
  std::vector<std::pair<size_t, uint32_t>> erased;
};

// A rewrite of blocks 0-2 with 0x5a. A block that is rewritten costs one read of the block and
// 64 reads of 1024 bytes to check what was written; its 64 pieces are 64 writes.
const FailureCase kFailures[] = {
    {"ReadOfSecondBlockFails",
     "fail_mtd_read=kernel:66",
     "Flash Write mtd read failed.",
     {{0, kBlock, 0x5a}},
     {{0, 1}}},
    {"ReadOfSecondBlockIsShort",
     "short_mtd_read=kernel:66",
     "Flash Write mtd read failed.",
     {{0, kBlock, 0x5a}},
     {{0, 1}}},
    {"EraseOfSecondBlockFails",
     "fail_mtd_erase=kernel:2",
     "Flash Write mtd erase failed.",
     {{0, kBlock, 0x5a}},
     {{0, 1}}},
    {"FirstPieceOfSecondBlockFails",
     "fail_mtd_write=kernel:65",
     "Flash Write mtd write failed.",
     {{0, kBlock, 0x5a}, {kBlock, kBlock, 0xff}},
     {{0, 1}, {1, 1}}},
    // Half of the third piece reaches the flash; the rest of the block stays erased.
    {"ThirdPieceIsShort",
     "short_mtd_write=kernel:3",
     "Flash Write mtd write failed.",
     {{0, 0xa00, 0x5a}, {0xa00, kBlock - 0xa00, 0xff}},
     {{0, 1}}},
    // The second piece of block 1 reports success but changes nothing: the read-back sees it.
    {"SecondPieceOfSecondBlockIsStuck",
     "stuck_mtd_write=kernel:66",
     "Flash Write mtd write failed.",
     {{0, kBlock, 0x5a},
      {kBlock, 0x400, 0x5a},
      {kBlock + 0x400, 0x400, 0xff},
      {kBlock + 0x800, kBlock - 0x800, 0x5a}},
     {{0, 1}, {1, 1}}},
};

TEST_P(StorageTest, RewriteStopsAtTheFailingStep) {
  const Bytes old = kvztest::pattern(kKernelSize, 11);
  for (const FailureCase& c : kFailures) {
    SCOPED_TRACE(c.name);
    Board board({"--blank"});
    board.write("flash/kernel", old);
    const Boot r =
        drive(board, "flash_init\nwrite kernel 0 0x30000 pat=5a 0\n", {"--fault", c.fault});
    EXPECT_EQ(r.out, std::string("flash_init=0\n") + c.message + "\n\nwrite=-1\n");
    Bytes want = old;
    for (const Fill& f : c.changes) fill_bytes(&want, f.at, f.n, f.value);
    EXPECT_TRUE(same_bytes(board.read("flash/kernel"), want));
    EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks, c.erased));
  }
}

TEST_P(RewriteTest, PlainReadFailuresAreSilent) {
  const Boot r = drive(board, "flash_init\nread kernel 0 4\nread rfs 0 4\nread kernel 0 4\n",
                       {"--fault", "fail_mtd_read=kernel:1", "--fault", "short_mtd_read=rfs:1"});
  char whole[32];
  snprintf(whole, sizeof whole, "read=0 %02x%02x%02x%02x\n", old[0], old[1], old[2], old[3]);
  EXPECT_EQ(r.out, std::string("flash_init=0\nread=-1\nread=-1\n") + whole);
}

// ---- Erase ----------------------------------------------------------------------------------

TEST_P(RewriteTest, EraseTakesTheBlocksOfTheRange) {
  const Boot r = drive(board,
                       "flash_init\n"
                       "erase kernel 0x10000 1\n"         // the first byte of block 1
                       "erase kernel 0x20000 0x30000\n",  // blocks 2-4; the one of block 3 fails
                       {"--fault", "fail_mtd_erase=kernel:3"});
  EXPECT_EQ(r.out, "flash_init=0\nerase=0\nFlash Erase mtd erase failed.\nerase=-1\n");
  Bytes want = old;
  fill_bytes(&want, kBlock, 2 * kBlock, 0xff);
  EXPECT_TRUE(same_bytes(board.read("flash/kernel"), want));
  EXPECT_EQ(board.erase_counts("kernel"), erases(kKernelBlocks, {{1, 1}, {2, 1}}));
}

// ---- Trace switches -------------------------------------------------------------------------

TEST_P(StorageTest, TraceLinesOfEachLayer) {
  Board board({"--blank"});
  const Boot r = drive(board,
                       "flash_init\n"
                       "debug 1 1 1\n"
                       "write kernel 0x10 100 pat=a5 0\n"
                       "read kernel 0x10 4\n"
                       "erase kernel 0x10000 1\n"
                       "debug 1 0 1\n"
                       "write kernel 0x20000 0x20000 pat=3c 0\n"
                       "write kernel 0x20000 0x20000 pat=3c 0\n"  // the bytes are there already
                       "debug 0 0 0\n"
                       "read kernel 0x10 2\n");
  std::vector<std::string> want = {
      "flash_init=0", "Flash Write 0x00000010 to 0x00000073 (0x00000000 to 0x0000ffff) 1",
      span_line("read ", 0, 0xffff), span_line("erase", 0, 0xffff)};
  add_pieces(&want, "write", 0);
  add_pieces(&want, "read ", 0);
  want.insert(want.end(), {"write=0", "Flash Read 0x00000010 to 0x00000013",
                           span_line("read ", 0x10, 0x13), "read=0 a5a5a5a5",
                           "Flash Erase 0x00010000 to 0x00010000 (0x00010000 to 0x0001ffff) 1",
                           span_line("erase", 0x10000, 0x1ffff), "erase=0"});
  // Whole blocks are still read before they are erased.
  for (uint32_t block : {0x20000u, 0x30000u}) {
    want.push_back(span_line("read ", block, block + 0xffff));
    want.push_back(span_line("erase", block, block + 0xffff));
    add_pieces(&want, "read ", block);
  }
  want.push_back("write=0");
  want.insert(want.end(), {span_line("read ", 0x20000, 0x2ffff),
                           span_line("read ", 0x30000, 0x3ffff), "write=0", "read=0 a5a5"});
  EXPECT_EQ(masked_lines(r.out), want);
  EXPECT_EQ(r.err, "");
}

// ---- No usable flash ------------------------------------------------------------------------

// Everything the driver asks of the flash after the failed start-up; the trace switches are on
// to show that nothing reaches the device layer either.
const char kNoFlashScript[] =
    "debug 1 1 1\n"
    "flash_init\n"
    "read kernel 0 4\n"
    "write kernel 0 16 pat=00 1\n"
    "write rfs 0 16 pat=00 0\n"
    "erase kernel 0 0x10000\n"
    "env\n";
const char kDefaults[] =
    "gdb_enable=0 gdbserver_enable=0 gdbport=1234 shell_enable=0 memchk_enable=0 "
    "rescue_enable=0 standalone_diags=0\n";
const char kRefused[] = "flash_init=-1\nread=-1\nwrite=-1\nwrite=-1\nerase=-1\n";

class NoFlashTest : public StorageTest {
 protected:
  // Runs the script on the board and checks that no partition changed.
  void expect_refused(const Board& board, const std::string& first_line,
                      const std::vector<std::string>& extra = {}) {
    const Bytes kernel = board.read("flash/kernel");
    const Bytes rfs = board.read("flash/rfs");
    const Boot r = drive(board, kNoFlashScript, extra);
    EXPECT_EQ(r.out, first_line + kRefused + kDefaults);
    EXPECT_EQ(board.read("flash/kernel"), kernel);
    EXPECT_EQ(board.read("flash/rfs"), rfs);
    EXPECT_FALSE(board.exists("stats/erase-kernel"));
    EXPECT_FALSE(board.exists("stats/erase-rfs"));
  }
};

TEST_P(NoFlashTest, GeometryRequestFails) {
  Board board({"--blank"});
  board.set_env({"shell=on", "gdb=on"});
  expect_refused(board, "Could not get MTD device info \n", {"--fault", "fail_memgetinfo=1"});
}

TEST_P(NoFlashTest, KernelPartitionOfSizeZero) {
  Board board({"--blank"});
  board.write("flash/kernel", {});
  board.set_env({"shell=on"});
  expect_refused(board, "NO FLASH !\n");
}

TEST_P(StorageTest, LargerEraseBlocksAreTakenWhole) {
  Board board({"--blank", "--erase-size", "0x20000"});
  const Boot r = drive(board, "flash_init\ndebug 0 1 0\nwrite kernel 0x1fff0 0x20 pat=77 0\n");
  const std::vector<std::string> lines = masked_lines(r.out);
  ASSERT_GE(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[1], "Flash Write 0x0001fff0 to 0x0002000f (0x00000000 to 0x0003ffff) 2");
  EXPECT_EQ(lines.back(), "write=0");
  Bytes want(kKernelSize, 0xff);
  fill_bytes(&want, 0x1fff0, 0x20, 0x77);
  EXPECT_TRUE(same_bytes(board.read("flash/kernel"), want));
}

// ---- VPD EEPROM -----------------------------------------------------------------------------

// The byte-write sequences with the register step; reads return the bytes as stored, the USB-boot
// byte at 315 included (212: just not the value that enables USB boot).
TEST_P(StorageTest, EepromWritesFollowTheRegisterStep) {
  Board board;
  board.set_vpd(315, 212);
  const Bytes vpd = board.read("eeprom/vpd.bin");
  const Bytes regs = board.read("eeprom/regs.bin");
  const Boot r = drive(board,
                       "i2c_init\nset_image 2\nset_booted_image 4\nget_usbboot\nget_image\n"
                       "eeprom_read 312 4\ni2c_close\ni2c_close\nget_image\n");
  EXPECT_EQ(r.out,
            "i2c_init=0\nset_image=3\nset_booted_image=3\nget_usbboot=212\nget_image=2\n"
            "eeprom_read=4 ffff04d4\ni2c_close=0\ni2c_close=0\n"
            "I2C error when setting bus 0, device 0xa8: 9\nget_image=0\n");
  const std::vector<std::string> log = {"i2c-1 0x20 smbus-read reg 0x04 = 0x0c",
                                        "i2c-1 0x20 smbus-write reg 0x0c = 0x04",
                                        "i2c-0 0x54 write 01 00 02",
                                        "i2c-1 0x20 smbus-read reg 0x04 = 0x0c",
                                        "i2c-1 0x20 smbus-write reg 0x0c = 0x04",
                                        "i2c-0 0x54 write 01 3a 04",
                                        "i2c-0 0x54 write 01 3b",
                                        "i2c-0 0x54 read d4",
                                        "i2c-0 0x54 write 01 00",
                                        "i2c-0 0x54 read 02",
                                        "i2c-0 0x54 write 01 38",
                                        "i2c-0 0x54 read ff ff 04 d4"};
  EXPECT_EQ(board.i2c_log(), log);
  Bytes want_vpd = vpd;
  want_vpd[256] = 2;
  want_vpd[314] = 4;
  EXPECT_TRUE(same_bytes(board.read("eeprom/vpd.bin"), want_vpd));
  Bytes want_regs = regs;
  want_regs[12] = 0x04;
  EXPECT_TRUE(same_bytes(board.read("eeprom/regs.bin"), want_regs));
}

TEST_P(StorageTest, MissingBusOneLeavesTheEepromUsable) {
  Board board;
  const Bytes regs = board.read("eeprom/regs.bin");
  const Boot r = drive(board, "i2c_init\nset_image 2\nget_image\n", {"--fault", "bus_missing=1"});
  EXPECT_EQ(r.out,
            "ERROR: driver /dev/i2c-1 couldn't be opened\ni2c_init=-1\nset_image=3\nget_image=2\n");
  const std::vector<std::string> log = {"i2c-0 0x54 write 01 00 02", "i2c-0 0x54 write 01 00",
                                        "i2c-0 0x54 read 02"};
  EXPECT_EQ(board.i2c_log(), log);
  EXPECT_EQ(board.vpd(256), 2);
  EXPECT_EQ(board.read("eeprom/regs.bin"), regs);
}

TEST_P(StorageTest, RegisterStepFailsSilently) {
  Board board;
  board.remove("eeprom/regs.bin");  // the bus-1 device does not answer
  Boot r = drive(board, "i2c_init\nset_booted_image 3\n");
  EXPECT_EQ(r.out, "i2c_init=0\nset_booted_image=3\n");
  std::vector<std::string> log = {"i2c-1 0x20 smbus-read reg 0x04 nak",
                                  "i2c-1 0x20 smbus-write reg 0x0c nak",
                                  "i2c-0 0x54 write 01 3a 03"};
  EXPECT_EQ(board.i2c_log(), log);
  EXPECT_EQ(board.vpd(314), 3);

  // Register 4 reading 0xff: bit 3 is cleared all the same.
  Bytes regs(256, 0);
  regs[4] = 0xff;
  board.write("eeprom/regs.bin", regs);
  board.clear_logs();
  r = drive(board, "i2c_init\nset_image 1\n");
  EXPECT_EQ(r.out, "i2c_init=0\nset_image=3\n");
  log = {"i2c-1 0x20 smbus-read reg 0x04 = 0xff", "i2c-1 0x20 smbus-write reg 0x0c = 0xf7",
         "i2c-0 0x54 write 01 00 01"};
  EXPECT_EQ(board.i2c_log(), log);
  EXPECT_EQ(board.read("eeprom/regs.bin").at(12), 0xf7);
}

// ---- Boot options from environments made by mkenvimage --------------------------------------

std::string options(int gdb, int gdbserver, int port, int shell, int memchk, int rescue,
                    int diags) {
  char line[160];
  snprintf(line, sizeof line,
           "gdb_enable=%d gdbserver_enable=%d gdbport=%d shell_enable=%d memchk_enable=%d "
           "rescue_enable=%d standalone_diags=%d\n",
           gdb, gdbserver, port, shell, memchk, rescue, diags);
  return line;
}

// Environments made by u-boot-tools' mkenvimage (variables ending in NUL bytes, erased flash
// after a small one), one that cannot be read, and partitions that hold no variable at all.
TEST_P(StorageTest, OptionsFromTheEnvironment) {
  struct Case {
    const char* what;
    std::vector<std::string> vars;
    size_t size;
    std::string want;
    const char* fault;
  };
  const Case cases[] = {
      // Keys found inside other values, a signed port after a blank, a value that merely begins
      // with "on".
      {"everyday",
       {"baudrate=115200", "bootargs=console=ttyS0,115200 gdb=on", "bootcmd=run flash_self",
        "bootdelay=3", "ethaddr=00:a0:1e:12:34:56", "gdbport= -42", "memchk=one", "shell=off"},
       8192,
       options(1, 0, -42, 0, 1, 0, 0),
       nullptr},
      {"small", {"shell=on", "diagnostics=rescue"}, 1024, options(0, 0, 1234, 1, 0, 1, 0), nullptr},
      {"unreadable",
       {"shell=on", "gdb=on", "gdbport=99", "diagnostics=diags"},
       65536,
       kDefaults,
       "fail_mtd_read=ubootenv:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board board({"--blank"});
    board.set_env(c.vars, c.size);
    std::vector<std::string> extra;
    if (c.fault) extra = {"--fault", c.fault};
    EXPECT_EQ(drive(board, "flash_init\nenv\n", extra).out, "flash_init=0\n" + c.want);
  }
  for (const uint8_t fill : {uint8_t{0xff}, uint8_t{0x00}}) {
    SCOPED_TRACE(fill);
    Board board({"--blank"});
    board.write("flash/ubootenv", Bytes(65536, fill));
    EXPECT_EQ(drive(board, "flash_init\nenv\n").out, std::string("flash_init=0\n") + kDefaults);
  }
}

INSTANTIATE_TEST_SUITE_P(Storage, StorageTest, ::testing::ValuesIn(targets()), TargetName());
INSTANTIATE_TEST_SUITE_P(Storage, RewriteTest, ::testing::ValuesIn(targets()), TargetName());
INSTANTIATE_TEST_SUITE_P(Storage, NoFlashTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
