// Which slot boots: the slot selected in the VPD, the fallback to the other slot, and the rescue
// partition when neither slot holds a bootable record; malformed slot files included.
#include "boot_fixture.h"

using namespace boottest;

namespace {

class SlotTest : public BootTest {};

const std::string kBooting1 = "Booting image '1'\n", kBoth = kBooting1 + "Booting image '2'\n";
const std::string kCrc1 = "Image1 CRC failed, trying Image2 now.\n";
const std::string kBothFailed = kCrc1 + "Both image1 and image2 failed.\n";
const Lines kApp = Lines{kMount, kUntar, kExec};

Prepare select(uint8_t slot, Prepare then) {
  return [=](const Board& b) {
    b.set_vpd(kSelectedSlot, slot);
    if (then) then(b);
  };
}
Prepare slot1(const std::vector<Bytes>& records) {
  return [=](const Board& b) { b.write(kImage1, concat(records)); };
}

// Boots that end in an application or diagnostics program: how the demo board is changed first,
// what the boot shows, the commands it runs and the slot it records as booted. Every boot reads
// the USB flag and the selected slot, writes the booted slot once after the register step of
// the bus-1 device, leaves the slot files as they were, and removes the archive it unpacked.
TEST_P(SlotTest, EveryRoadToAProgram) {
  const std::string rescue =
      "Launching diagnostics image\ninstall diags image\n" + diags_says("1.0.0.0");
  const std::string app1 = app_says("1.1.0.0"), app2 = app_says("1.0.0.0");
  const Lines diags = Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kExec};
  Bytes wrapping_app = bare_header(kMagicApplication | kMagicExtended, 0xFFFFFFF0u, 0xFFFF);
  wrapping_app.resize(4096, 0x5A);
  const struct {
    const char* what;
    Prepare setup;
    std::string out, err;
    Lines commands;
    uint8_t booted;
  } cases[] = {
      {"slot 2 selected", select(2, {}), "Booting image '2'\n" + app2, "", kApp, 2},
      {"slot 7 selected", select(7, {}), kBooting1 + app1, "", kApp, 1},
      {"slot 1 fails its check", [](const Board& b) { flip_byte(b, kImage1, 40); }, kBoth + app2,
       kCrc1, kApp, 2},
      {"slot 2 selected and failing its check",
       select(2, [](const Board& b) { flip_byte(b, kImage2, 40); }),
       "Booting image '2'\nBooting image '1'\n" + app1, "Image2 CRC failed, trying Image1 now.\n",
       kApp, 1},
      // A missing file: the attempt goes on with the other slot's file but keeps the number of
      // the slot it was asked for, and that number is what the booted-slot byte receives.
      {"slot 1 file missing", [](const Board& b) { b.remove(kImage1); }, kBooting1 + app2,
       "Failed to open Application image 1. Trying image 2.\n", kApp, 1},
      {"slot 2 selected, its file missing", select(2, [](const Board& b) { b.remove(kImage2); }),
       "Booting image '2'\n" + app1, "Failed to open Application image 2. Trying image 1.\n", kApp,
       2},
      {"slot 2 selected, both files missing",
       select(2, [](const Board& b) { b.remove("user/images"); }), "Booting image '2'\n" + rescue,
       "Failed to open Application image 2. Trying image 1.\n"
       "Failed to open Application image 1. Trying rescue image\n",
       diags, 4},
      // The last header scanned in slot 1 is an extended one: its magic is shown with bit 31.
      {"no bootable record in either slot",
       [](const Board& b) {
         b.write(kImage1,
                 concat({other_record(kMagicRootFs, 100), other_record(kMagicKernel, 300, 32)}));
         b.write(kImage2, other_record(kMagicKernel, 100));
       },
       kBoth + rescue,
       "Image has invalid header 0x834b565a. (0x64b565a)\n"
       "Image1 has invalid header... trying Image2.\n"
       "No valid application image found. Trying rescue image\n",
       diags, 4},
      {"every kind of record before the application",
       slot1({other_record(kMagicBootLoader, 300), other_record(kMagicKernel, 301),
              other_record(kMagicRootFs, 302, 24), other_record(kMagicDeviceTree, 303),
              app_record("3.0.0.1"), diags_record("9.9.9.9")}),
       kBooting1 + app_says("3.0.0.1"), "", kApp, 1},
      // Larger than what is read at a time: checked and unpacked whole.
      {"large extended records",
       slot1({other_record(kMagicKernel, 70000, 32), big_app_record("6.0.0.0", 48)}),
       kBooting1 + app_says("6.0.0.0"), "", kApp, 1},
      {"diagnostics record in a slot",
       slot1({other_record(kMagicKernel, 64), diags_record("2.0.0.0"), app_record("9.9.9.9")}),
       kBooting1 + "install diags image\n" + diags_says("2.0.0.0"), "", diags, 1},
      // Sizes that wrap 32 bits are refused like a bad check (the scan itself is unit-tested).
      {"application size wraps", slot1({wrapping_app}), kBoth + app2, kCrc1, kApp, 2},
  };
  for (const auto& c : cases) {
    uint8_t selected = 0;
    Bytes images;
    const auto check = [&](const Board& b) {
      EXPECT_EQ(b.vpd(kBootedSlot), c.booted);
      EXPECT_EQ(
          b.i2c_log(),
          (Lines{"i2c-0 0x54 write 01 3b", "i2c-0 0x54 read 00", "i2c-0 0x54 write 01 00",
                 "i2c-0 0x54 read 0" + std::to_string(selected),
                 "i2c-1 0x20 smbus-read reg 0x04 = 0x0c", "i2c-1 0x20 smbus-write reg 0x0c = 0x04",
                 "i2c-0 0x54 write 01 3a 0" + std::to_string(c.booted)}));
      EXPECT_EQ(concat({b.read(kImage1), b.read(kImage2)}), images);
      EXPECT_FALSE(b.exists(kArchive));
      if (c.out.find("6.0.0.0") != std::string::npos) {
        EXPECT_EQ(b.text("tmp/home/bin/blob"), kBigBlob);
      }
    };
    const auto remember = [&](const Board& b) {
      c.setup(b);
      selected = b.vpd(kSelectedSlot);
      images = concat({b.read(kImage1), b.read(kImage2)});
    };
    run_scenario(
        {c.what, remember, {}, {}, false, {kRanApplication, c.out, c.err, c.commands}, check},
        GetParam());
  }
}

// After both checks fail nothing is booted: the rescue partition is not tried, the shell comes
// first when the boot options allow it, and the archive that the failed records were streamed
// into is left empty. An EEPROM that does not answer boots slot 1 and writes nothing.
TEST_P(SlotTest, OtherRoads) {
  const auto archive_left_empty = [](const Board& b) {
    EXPECT_EQ(b.vpd(kBootedSlot), kErased);
    ASSERT_TRUE(b.exists(kArchive));
    EXPECT_EQ(b.read(kArchive).size(), 0u);
  };
  const Expect reboot = {kRebooted, kBoth, kBothFailed, Lines{kMount, kReboot}};
  run_all({
      // Slot 2's record claims a length far beyond its file (and what the board could hold).
      {.what = "both checks fail",
       .setup =
           [](const Board& b) {
             flip_byte(b, kImage1, 40);
             b.patch(kImage2, 4, {0x7F, 0xFF, 0xFF, 0xF0});
           },
       .want = reboot,
       .check = archive_left_empty},
      // A bad byte far into a large record, or a last byte missing, is still caught.
      {.what = "large records fail",
       .setup =
           [](const Board& b) {
             b.write(kImage1, big_app_record("6.0.0.0"));
             flip_byte(b, kImage1, b.read(kImage1).size() - 1000);
             Bytes cut = big_app_record("6.0.0.1");
             cut.pop_back();
             b.write(kImage2, cut);
           },
       .want = reboot,
       .check = archive_left_empty},
      {.what = "both checks fail, shell enabled",
       .setup =
           [](const Board& b) {
             b.set_env({"shell=on"});
             flip_byte(b, kImage1, 40);
             flip_byte(b, kImage2, 40);
           },
       .dialog = {Exchange{kBoth, "echo operator was here\nexit\n"}},
       .want = {kRebooted, kBoth + "operator was here\n", kBothFailed,
                Lines{kMount, kShell, kReboot}, "echo operator was here\r\nexit\r\n"}},
      {.what = "silent EEPROM",
       .setup = select(2, {}),
       .options = {"--fault", "eeprom_silent=1"},
       .want = {kRanApplication,
                "I2C error - device 0xa8 writing bus 0 offset 315: 6\n"
                "I2C error - device 0xa8 writing bus 0 offset 256: 6\n" +
                    kBooting1 + "I2C error when writing bus 0 offset 314: 6\n" +
                    app_says("1.1.0.0"),
                "", kApp},
       .check =
           [](const Board& b) {
             EXPECT_EQ(b.vpd(kSelectedSlot), 2);
             EXPECT_EQ(b.vpd(kBootedSlot), kErased);
           }},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, SlotTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
