// The virtual board's devices where they behave like the real parts rather than like files: the
// EEPROM's write cycle and one-byte address writes, half-erased flash blocks, a busy I2C bus;
// and the launcher's answers to each.
#include <gtest/gtest.h>

#include "records.h"
#include "sim.h"

using namespace kvzsim;
using kvztest::slice;

namespace {

class BoardTruthTest : public ::testing::TestWithParam<Target> {};

// After a write with data the EEPROM answers nothing for 5 ms of board time; a write of one
// address byte is acknowledged and latches the high byte of the word address. A busy bus refuses
// the device selection. Board time runs 10 times slower here, so the 5 ms do not pass by chance.
TEST_P(BoardTruthTest, EepromWriteCycleOneByteWritesAndBusyBus) {
  Board board({"--blank"});
  board.set_vpd(0x3c, 0x5a);
  const Boot r = run_script(board, GetParam(), "kvzsim_probe",
                            "i2c 0 54 w 013b05\ni2c 0 54 r 1\nwait 5\n"
                            "i2c 0 54 w 00\ni2c 0 54 r 1\n",
                            {}, 0.1);
  EXPECT_EQ(r.out, "wrote=3\nerror=6\nwrote=1\nread=5a\n");
  EXPECT_EQ(board.i2c_log(),
            (std::vector<std::string>{"i2c-0 0x54 write 01 3b 05", "i2c-0 0x54 read 1 nak",
                                      "i2c-0 0x54 write 00", "i2c-0 0x54 read 5a"}));
  EXPECT_EQ(board.vpd(0x13b), 0x05);
  const struct {
    const char* fault;
    std::string out;
  } rows[] = {{"i2c_busy=0", "slave error=16\nerror=6\nbyte=0x0c\n"},
              {"i2c_busy=1", "read=ff\nslave error=16\nerror=6\n"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    EXPECT_EQ(run_script(board, GetParam(), "kvzsim_probe", "i2c 0 54 r 1\nsmbus 1 20 4\n",
                         {"--fault", row.fault})
                  .out,
              row.out);
  }
}

// The launcher's one-byte addressing sends the offset's low byte alone, and the EEPROM takes it.
TEST_P(BoardTruthTest, OneByteAddressingReadsWhereThePartPoints) {
  Board board({"--blank"});
  board.set_vpd(0x1001, 0x77);
  const Boot r = run_script(board, GetParam(), "kvzsim_storage",
                            "i2c_init\ni2c_read 0x0100 1 2\ni2c_read 0x1010 1 1\n");
  EXPECT_EQ(r.out, "i2c_init=0\ni2c_read=1 ff\ni2c_read=1 77\n");
  EXPECT_EQ(board.i2c_log(),
            (std::vector<std::string>{"i2c-0 0x54 write 01 00", "i2c-0 0x54 read ff",
                                      "i2c-0 0x54 write 10", "i2c-0 0x54 read 77"}));
}

// An erase cut off half way: the rewrite names the failed erase, the installer the failed
// record; the block is left half erased, and the install repeated writes the record whole.
TEST_P(BoardTruthTest, HalfErasedBlockFailsTheKernelInstall) {
  Board board;
  const Bytes old = board.read("flash/kernel");
  const Bytes kernel = kvztest::make_record(kMagicKernel, 0x02000000, kvztest::pattern(150000));
  board.write("user/a.img", kernel);
  const std::string script = "flash_init\ni2c_init\ninstall /user/a.img 0 0\n";
  const Boot r = run_script(board, GetParam(), "kvzsim_storage", script,
                            {"--fault", "half_erase_mtd=kernel:2"});
  EXPECT_EQ(
      r.out,
      "flash_init=0\ni2c_init=0\n\nExtracting images ... Do *NOT* power cycle the switch.\n"
      "Installing Kernel:      \b\b\b\b000%Flash Write mtd erase failed.\n\nkernel image update "
      "failed\ninstall=0\n");
  // Blocks are written first block last: block 1 went through, block 2 was half erased.
  const Bytes flash = board.read("flash/kernel");
  EXPECT_EQ(slice(flash, 0, 0x10000), slice(old, 0, 0x10000));
  EXPECT_EQ(slice(flash, 0x10000, 0x10000), slice(kernel, 0x10000, 0x10000));
  EXPECT_EQ(slice(flash, 0x20000, 0x8000), Bytes(0x8000, 0xff));
  EXPECT_EQ(slice(flash, 0x28000, 0x8000), slice(old, 0x28000, 0x8000));
  EXPECT_NE(run_script(board, GetParam(), "kvzsim_storage", script).out.find("install=1\n"),
            std::string::npos);
  EXPECT_EQ(slice(board.read("flash/kernel"), 0, kernel.size()), kernel);
}

// A bus whose device selection fails with EBUSY: on bus 0 every EEPROM access reports it and
// slot 1 boots, as with a silent EEPROM; on bus 1 the register step fails silently and the
// EEPROM write goes ahead (register 12 keeps its 0; the step would write register 4's 0x0c with
// bit 3 cleared).
TEST_P(BoardTruthTest, BusyBusIsReportedAndTheBootGoesOn) {
  const std::string select_read = "I2C error when setting bus 0, device 0xa8: 16\n";
  const struct {
    const char* fault;
    std::string out;
    uint8_t booted, register12;
  } rows[] = {{"i2c_busy=0",
               select_read + select_read + "Booting image '1'\nI2C error when setting bus 0: 16\n" +
                   app_says("1.1.0.0"),
               0, 0x04},
              {"i2c_busy=1", "Booting image '1'\n" + app_says("1.1.0.0"), 1, 0x00}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    Board board;
    board.set_vpd(314, 0);
    const Boot r = boot(board, GetParam(), {"--fault", row.fault});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(board.vpd(314), row.booted);
    EXPECT_EQ(board.read("eeprom/regs.bin").at(12), row.register12);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, BoardTruthTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
