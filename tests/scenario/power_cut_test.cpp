// Installs cut short by a power failure at the points where a record could pass for installed:
// the board still boots, and the install repeated completes.
#include <gtest/gtest.h>

#include "records.h"
#include "sim.h"

using namespace kvzsim;
using kvztest::slice;

namespace {

class PowerCutTest : public ::testing::TestWithParam<Target> {};

// A boot-loader record of two erase blocks: block 1 is written first (writes 1-64), then block
// 0, whose first piece holds the embedded header. Cut anywhere in block 0, the partition must
// not carry the new header, or the same bundle installed again is skipped as the same version.
TEST_P(PowerCutTest, FlashRecordHeaderIsWrittenLast) {
  for (const char* cut : {"power_cut_flash_write=65", "power_cut_flash_write=127"}) {
    SCOPED_TRACE(cut);
    Board board;
    board.write("usb/u.bin", kvztest::pattern(0x20000, 3));
    board.make_bundle("user/a.img", {"uboot:2.0.0.0:" + board.path("usb/u.bin")});
    const std::string script = "flash_init\ni2c_init\ninstall /user/a.img 1 0\n";
    EXPECT_EQ(run_script(board, GetParam(), "kvzsim_storage", script, {"--fault", cut}).status, 3);
    EXPECT_NE(run_script(board, GetParam(), "kvzsim_storage", script).out.find("install=1\n"),
              std::string::npos);
    EXPECT_EQ(slice(board.read("flash/uboot"), 0, 0x20000),
              slice(board.read("user/a.img"), 16, 0x20000));
  }
}

// A replacement for slot 2 from the stick, cut right after its last write (the header): the slot
// is already selected, so the repeated start, which skips the file as the same version, boots it.
TEST_P(PowerCutTest, ReplacementCutAfterItsLastWriteIsBooted) {
  Board board;
  board.set_vpd(315, 213);
  board.write("usb/app.tgz", app_archive("2.0.0.0"));
  board.make_bundle("usb/QVM7314_replace2_OS.img", {"app:2.0.0.0:" + board.path("usb/app.tgz")});
  board.remove("usb/app.tgz");
  EXPECT_EQ(boot(board, GetParam(), {"--usb", "--fault", "power_cut_user_write=2"}).status, 3);
  const Boot r = boot(board, GetParam(), {"--usb"});
  EXPECT_NE(r.out.find("Booting image '2'\n" + app_says("2.0.0.0")), std::string::npos) << r.out;
  EXPECT_EQ(board.vpd(256), 2);
}

// The recovery install copies the rescue partition's record into slot 1 with cp. A copy cut short
// must hold no record: with the slot files gone the board boots the rescue image again (and
// does not reset for ever on a slot that fails its check), and the install answered again
// completes.
TEST_P(PowerCutTest, RecoveryInstallCutShortBootsTheRescueImageAgain) {
  const Bytes pad = kvztest::pattern(300000);  // several of cp's writes
  const Bytes record = kvztest::make_record(
      kMagicApplication, 0x03000000,
      make_archive({{"home/bin/mp.elf.strip", "#!/bin/sh\nprintf '" + app_says("3.0.0.0") + "'"},
                    {"home/bin/distro-id", "kvzsample 1\n"},
                    {"home/pad", std::string(pad.begin(), pad.end())}}));
  const auto install = [&](const Board& board, const std::vector<std::string>& extra) {
    Console c(board, GetParam(), extra);
    EXPECT_TRUE(
        c.wait_for("Install recovery image as image 1 or 2 (hit return to just boot image): "));
    c.send("1\n");
    return c.finish().status;
  };
  for (const char* cut : {"power_cut_user_write=1", "power_cut_user_write=2"}) {
    SCOPED_TRACE(cut);
    Board board;
    board.remove("user/images/image1");
    board.remove("user/images/image2");
    board.patch("flash/rescue", 0, record);
    EXPECT_EQ(install(board, {"--fault", cut}), 3);
    const Boot after = boot_closed_console(board, GetParam());
    EXPECT_EQ(after.status, 0);
    EXPECT_NE(after.out.find(app_says("3.0.0.0")), std::string::npos) << after.out;
    EXPECT_EQ(install(board, {}), 0);
    EXPECT_EQ(board.read("user/images/image1"), record);
    EXPECT_EQ(board.vpd(256), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, PowerCutTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
