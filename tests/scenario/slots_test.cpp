// Which slot boots: the slot selected in the VPD, the fallback to the other slot, and the rescue
// partition when neither slot holds a bootable record; malformed slot files included.
#include <cstdio>
#include <functional>

#include "boot_fixture.h"

using namespace boottest;

namespace {

class SlotTest : public BootTest {};

const std::string kBothBooting = "Booting image '1'\nBooting image '2'\n";
const std::string kBothFailed =
    "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n";

// The EEPROM traffic of a boot: the USB flag and the selected slot are read, then the booted
// slot is written once, after the register of the bus-1 device has been set up.
Lines eeprom_log(uint8_t selected, uint8_t booted) {
  char read_selected[32], write_booted[32];
  snprintf(read_selected, sizeof read_selected, "i2c-0 0x54 read %02x", selected);
  snprintf(write_booted, sizeof write_booted, "i2c-0 0x54 write 01 3a %02x", booted);
  return {"i2c-0 0x54 write 01 3b",
          "i2c-0 0x54 read 00",
          "i2c-0 0x54 write 01 00",
          read_selected,
          "i2c-1 0x20 smbus-read reg 0x04 = 0x0c",
          "i2c-1 0x20 smbus-write reg 0x0c = 0x04",
          write_booted};
}

// Boots that end in an application or diagnostics program: how the demo board is changed first,
// what the boot shows, the commands it runs and the slot it records as booted. Every boot reads
// the slot files and the selected slot without changing them, and removes the archive it
// unpacked.
TEST_P(SlotTest, EveryRoadToAProgram) {
  using Prepare = std::function<void(const Board&)>;
  const auto select = [](uint8_t slot) {
    return [slot](const Board& b) { b.set_vpd(kSelectedSlot, slot); };
  };
  const std::string booting1 = "Booting image '1'\n";
  const std::string rescue =
      "Launching diagnostics image\ninstall diags image\n" + kvzsim::diags_says("1.0.0.0");
  const std::string app1 = kvzsim::app_says("1.1.0.0"), app2 = kvzsim::app_says("1.0.0.0");
  const std::string crc1 = "Image1 CRC failed, trying Image2 now.\n";
  const std::string scan_ended = "Image1 has invalid header... trying Image2.\n";
  const Lines app = {kMount, kUntar, kExec};
  const Lines diags = {kMount, kUntar, kMkdirDiags, kMoveDiags, kExec};
  Bytes wrapping_app = bare_header(0x814B565A, 0xFFFFFFF0u, 0xFFFF);
  wrapping_app.resize(4096, 0x5A);
  struct Case {
    const char* what;
    Prepare prepare;
    std::string out, err;
    Lines commands;
    uint8_t booted;
  };
  const Case cases[] = {
      {"slot 1 selected", select(1), booting1 + app1, "", app, 1},
      {"slot 2 selected", select(2), "Booting image '2'\n" + app2, "", app, 2},
      {"slot 7 selected", select(7), booting1 + app1, "", app, 1},
      {"slot 1 fails its check", [](const Board& b) { flip_byte(b, kImage1, 40); },
       kBothBooting + app2, crc1, app, 2},
      {"slot 2 selected and failing its check",
       [](const Board& b) {
         b.set_vpd(kSelectedSlot, 2);
         flip_byte(b, kImage2, 40);
       },
       "Booting image '2'\nBooting image '1'\n" + app1, "Image2 CRC failed, trying Image1 now.\n",
       app, 1},
      // A missing file: the attempt goes on with the other slot's file but keeps the number of
      // the slot it was asked for, and that number is what the booted-slot byte receives.
      {"slot 1 file missing", [](const Board& b) { b.remove(kImage1); }, booting1 + app2,
       "Failed to open Application image 1. Trying image 2.\n", app, 1},
      {"slot 2 selected, its file missing",
       [](const Board& b) {
         b.set_vpd(kSelectedSlot, 2);
         b.remove(kImage2);
       },
       "Booting image '2'\n" + app1, "Failed to open Application image 2. Trying image 1.\n", app,
       2},
      // Both missing: the rescue partition at once (slot 1 first is in the rescue partition's
      // own tests).
      {"slot 2 selected, both files missing",
       [](const Board& b) {
         b.set_vpd(kSelectedSlot, 2);
         b.remove(kImage1);
         b.remove(kImage2);
       },
       "Booting image '2'\n" + rescue,
       "Failed to open Application image 2. Trying image 1.\n"
       "Failed to open Application image 1. Trying rescue image\n",
       diags, 4},
      // The last header scanned in slot 1 is an extended one: its magic is shown with bit 31.
      {"no bootable record in either slot",
       [](const Board& b) {
         b.write(kImage1,
                 concat({other_record(kMagicRootFs, 100), other_record(kMagicKernel, 300, 32)}));
         b.write(kImage2,
                 concat({other_record(kMagicKernel, 100), other_record(kMagicRootFs, 50)}));
       },
       kBothBooting + rescue,
       "Image has invalid header 0x834b565a. (0x64b565a)\n"
       "Image1 has invalid header... trying Image2.\n"
       "No valid application image found. Trying rescue image\n",
       diags, 4},
      {"every kind of record before the application",
       [](const Board& b) {
         b.write(kImage1,
                 concat({other_record(kMagicBootLoader, 300), other_record(kMagicKernel, 301),
                         other_record(kMagicRootFs, 302, 24), other_record(kMagicDeviceTree, 303),
                         app_record("3.0.0.1"), diags_record("9.9.9.9")}));
       },
       booting1 + kvzsim::app_says("3.0.0.1"), "", app, 1},
      {"extended records",
       [](const Board& b) {
         b.write(kImage1, concat({other_record(kMagicKernel, 777, 32), app_record("3.0.0.2", 64)}));
       },
       booting1 + kvzsim::app_says("3.0.0.2"), "", app, 1},
      {"diagnostics record in a slot",
       [](const Board& b) {
         b.write(kImage1, concat({other_record(kMagicKernel, 64), diags_record("2.0.0.0"),
                                  app_record("9.9.9.9")}));
       },
       booting1 + "install diags image\n" + kvzsim::diags_says("2.0.0.0"), "", diags, 1},
      // Headers whose sizes add up to nothing or wrap 32 bits: an application record of that
      // kind is refused like a bad check, and a record to be stepped over ends the scan instead
      // of reading the same header for ever or stepping back into the bundle.
      {"zero-size extended kernel header",
       [](const Board& b) {
         b.write(kImage1, concat({bare_header(0x834B565A, 0, 0), app_record("9.9.9.9")}));
       },
       kBothBooting + app2, "Image has invalid header 0x834b565a. (0x64b565a)\n" + scan_ended, app,
       2},
      {"zero-size extended application header",
       [](const Board& b) {
         b.write(kImage1, concat({bare_header(0x814B565A, 0, 0), app_record("9.9.9.9")}));
       },
       kBothBooting + app2, crc1, app, 2},
      {"application size wraps", [&](const Board& b) { b.write(kImage1, wrapping_app); },
       kBothBooting + app2, crc1, app, 2},
      {"kernel size wraps",
       [](const Board& b) {
         b.write(kImage1,
                 concat({bare_header(kMagicKernel, 0xFFFFFFF8u, 0), app_record("9.9.9.9")}));
       },
       kBothBooting + app2, "Image has invalid header 0x34b565a. (0x64b565a)\n" + scan_ended, app,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board board;
    c.prepare(board);
    const uint8_t selected = board.vpd(kSelectedSlot);
    const Bytes image1 = board.read(kImage1), image2 = board.read(kImage2);
    expect_run(run(board), board, kRanApplication, c.out, c.err, c.commands);
    EXPECT_EQ(board.vpd(kBootedSlot), c.booted);
    EXPECT_EQ(board.i2c_log(), eeprom_log(selected, c.booted));
    EXPECT_EQ(board.vpd(kSelectedSlot), selected);
    EXPECT_EQ(board.read(kImage1), image1);
    EXPECT_EQ(board.read(kImage2), image2);
    EXPECT_FALSE(board.exists(kArchive));
  }
}

TEST_P(SlotTest, SilentEepromBootsSlotOne) {
  Board board;
  board.set_vpd(kSelectedSlot, 2);  // not readable, so not obeyed
  const Bytes vpd = board.read("eeprom/vpd.bin");
  expect_run(run(board, {"--fault", "eeprom_silent=1"}), board, kRanApplication,
             "I2C error - device 0xa8 writing bus 0 offset 315: 6\n"
             "I2C error - device 0xa8 writing bus 0 offset 256: 6\n"
             "Booting image '1'\n"
             "I2C error when writing bus 0 offset 314: 6\n" +
                 kvzsim::app_says("1.1.0.0"),
             "", {kMount, kUntar, kExec});
  EXPECT_EQ(board.read("eeprom/vpd.bin"), vpd);
}

// After both checks fail nothing is booted: the rescue partition is not tried, and the archive
// that the failed records were streamed into is left empty. Slot 2's record claims a length far
// beyond its file (and beyond what the board could hold in memory).
TEST_P(SlotTest, CrcFailureOfBothSlotsRebootsWithoutTheRescuePartition) {
  Board board;
  flip_byte(board, kImage1, 40);
  Bytes huge = board.read(kImage2);
  put_be32(huge.data() + 4, 0x7FFFFFF0u);
  board.write(kImage2, huge);
  expect_run(run(board), board, kRebooted, kBothBooting, kBothFailed, {kMount, kReboot});
  EXPECT_EQ(board.vpd(kBootedSlot), kErased);
  ASSERT_TRUE(board.exists(kArchive));
  EXPECT_EQ(board.read(kArchive).size(), 0u);
}

TEST_P(SlotTest, CrcFailureOfBothSlotsGivesTheShellFirstWhenEnabled) {
  Board board;
  board.set_env({"shell=on"});
  flip_byte(board, kImage1, 40);
  flip_byte(board, kImage2, 40);
  Console c(board, GetParam());
  ASSERT_TRUE(c.wait_for_err("Both image1 and image2 failed.\n"));
  // The shell reads the console: what it is told to do shows up on standard output.
  c.send("echo operator was here\nexit\n");
  expect_run(c.finish(), board, kRebooted, kBothBooting + "operator was here\n", kBothFailed,
             {kMount, kShell, kReboot});
}

// Records larger than what is read at a time are checked and written whole; a bad byte far into
// one, or a last byte missing, is still caught, and what was already written is taken back.
TEST_P(SlotTest, LargeRecordsAreCheckedAndUnpackedWhole) {
  Board board;
  board.write(kImage1,
              concat({other_record(kMagicKernel, 70000, 32), big_app_record("6.0.0.0", 48)}));
  expect_run(run(board), board, kRanApplication,
             "Booting image '1'\n" + kvzsim::app_says("6.0.0.0"), "", {kMount, kUntar, kExec});
  EXPECT_EQ(board.text("tmp/home/bin/blob"), big_blob());

  const Bytes good = board.read(kImage1);
  flip_byte(board, kImage1, good.size() - 1000);
  Bytes cut = big_app_record("6.0.0.1");
  cut.pop_back();  // runs past the end of its file by one byte
  board.write(kImage2, cut);
  board.clear_logs();
  expect_run(run(board), board, kRebooted, kBothBooting, kBothFailed, {kMount, kReboot});
  ASSERT_TRUE(board.exists(kArchive));
  EXPECT_EQ(board.read(kArchive).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Targets, SlotTest, ::testing::ValuesIn(kvzsim::targets()),
                         kvzsim::TargetName());

}  // namespace
