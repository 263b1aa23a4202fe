// The virtual board itself, proven with a stand-in launcher (the probe) that drives each emulated
// device through the same Linux interfaces as the launcher, on host and PowerPC.
#include <gtest/gtest.h>

#include "records.h"
#include "sim.h"

using namespace kvzsim;
using kvztest::slice;

namespace {

class BoardTest : public ::testing::TestWithParam<Target> {};

// A healthy board in one run. MTD: NOR flash (a write only clears bits, an erase sets 0xFF and
// must be block-aligned, transfers stop at the partition end). I2C: the EEPROM's 16-bit word
// address, writes rolling over within a 32-byte page, reads wrapping at the end, 5 ms of board
// time (10 times slower here) without an answer after a write with data, and a write of one
// address byte latching the high byte; nobody at other addresses or buses. The application
// starter ends the run with status 0. A busy bus refuses the device selection. (The launcher's
// scenarios see the geometry, the register device and the other faults with their outcomes.)
TEST_P(BoardTest, DevicesOfAHealthyBoard) {
  Board board({"--blank"});
  board.set_vpd(0x3c, 0x5a);
  const Boot r =
      run_script(board, GetParam(), "kvzsim_probe",
                 "write kernel 16 f00f\nwrite kernel 16 0ff0\nread kernel 14 6\n"
                 "erase kernel 0 65536\nread kernel 16 2\n"
                 "erase kernel 16 65536\nerase kernel 0 100\nerase kernel 3080192 131072\n"
                 "write kernel 3145726 aabbccdd\nwrite kernel 3145728 aa\n"
                 "i2c 0 54 w 01000201\nwait 5\ni2c 0 54 w 0100\ni2c 0 54 r 3\n"
                 "i2c 0 54 w 001e414243\nwait 5\ni2c 0 54 w 1fff\ni2c 0 54 r 2\n"
                 "i2c 0 50 r 1\ni2c 1 54 r 1\n"
                 "i2c 0 54 w 013b05\ni2c 0 54 r 1\nwait 5\ni2c 0 54 w 00\ni2c 0 54 r 1\n"
                 "exec /bin/backtrace\n",
                 {}, 0.1);
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out,
            "wrote=2\nwrote=2\nread=ffff0000ffff\nok\nread=ffff\n"
            "error=22\nerror=22\nerror=22\nwrote=2\nerror=28\n"
            "wrote=4\nwrote=2\nread=0201ff\nwrote=5\nwrote=2\nread=ff43\n"
            "error=6\nerror=6\n"
            "wrote=3\nerror=6\nwrote=1\nread=5a\n");
  EXPECT_EQ(r.err, "backtrace: no application at /tmp/home/bin/mp.elf.strip\n");
  EXPECT_EQ(slice(board.read("flash/kernel"), 3145726, 2), (Bytes{0xaa, 0xbb}));
  EXPECT_EQ(board.erase_counts("kernel")[0], 1u);
  EXPECT_EQ(board.erase_counts("kernel")[1], 0u);
  const Bytes vpd = board.read("eeprom/vpd.bin");
  EXPECT_EQ(slice(vpd, 0x100, 2), (Bytes{0x02, 0x01}));
  EXPECT_EQ(slice(vpd, 0x1e, 2), (Bytes{0x41, 0x42}));
  EXPECT_EQ(vpd.at(0), 0x43);  // the third byte wrapped to the page start
  EXPECT_EQ(vpd.at(0x13b), 0x05);
  EXPECT_EQ(
      board.i2c_log(),
      (Lines{"i2c-0 0x54 write 01 00 02 01", "i2c-0 0x54 write 01 00", "i2c-0 0x54 read 02 01 ff",
             "i2c-0 0x54 write 00 1e 41 42 43", "i2c-0 0x54 write 1f ff", "i2c-0 0x54 read ff 43",
             "i2c-0 0x50 read 1 nak", "i2c-1 0x54 read 1 nak", "i2c-0 0x54 write 01 3b 05",
             "i2c-0 0x54 read 1 nak", "i2c-0 0x54 write 00", "i2c-0 0x54 read 5a"}));
  EXPECT_EQ(board.commands(), Lines{"exec /bin/backtrace"});
  EXPECT_EQ(
      run_script(board, GetParam(), "kvzsim_probe", "i2c 0 54 r 1\n", {"--fault", "i2c_busy=0"})
          .out,
      "slave error=16\nerror=6\n");
}

INSTANTIATE_TEST_SUITE_P(Targets, BoardTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
