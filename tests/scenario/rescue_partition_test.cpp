// The last resort: the record at the start of the rescue partition, booted when neither slot
// file can be opened. A diagnostics record boots at once; an application record may first be
// installed as a slot.
#include "boot_fixture.h"

using namespace boottest;

namespace {

class RescuePartitionTest : public BootTest {};

const std::string kBooting = "Booting image '1'\n";
const std::string kNoSlots =
    "Failed to open Application image 1. Trying image 2.\n"
    "Failed to open Application image 2. Trying rescue image\n";
const std::string kQuestion =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";
const Lines kApp = Lines{kMount, kUntar, kExec};

// A board whose slot files are gone and whose rescue partition starts with `record`.
Prepare rescue_only(const Bytes& record, const std::vector<std::string>& env = {}) {
  return [=](const Board& b) {
    b.remove("user/images");
    b.patch("flash/rescue", 0, record);
    if (!env.empty()) b.set_env(env);
  };
}

// The VPD bytes afterwards: the selected slot, the booted slot.
std::function<void(const Board&)> vpd_is(uint8_t selected, uint8_t booted) {
  return [=](const Board& b) {
    EXPECT_EQ(b.vpd(kSelectedSlot), selected);
    EXPECT_EQ(b.vpd(kBootedSlot), booted);
  };
}

// A diagnostics record boots at once. For an application record an answer other than 1 or 2
// boots it without installing; no answer at all (a console at its end) leaves the board
// settings as they were.
TEST_P(RescuePartitionTest, RecordBoots) {
  const Bytes app = app_record("4.0.0.0");
  const std::string just_boot =
      kBooting + kQuestion +
      "\nBooting recovery image. You will need to download and install an image before "
      "rebooting\n" +
      app_says("4.0.0.0");
  std::vector<Scenario> scenarios = {
      {.what = "diagnostics record with an extended header",
       .setup = rescue_only(diags_record("3.0.0.0", 40)),
       .want = {kRanApplication,
                kBooting + "Launching diagnostics image\ninstall diags image\n" +
                    diags_says("3.0.0.0"),
                kNoSlots, Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kExec}},
       .check = vpd_is(1, 4)},
      {.what = "console at its end",
       .setup = rescue_only(app),
       .closed_console = true,
       .want = {kRanApplication, kBooting + kQuestion + app_says("4.0.0.0"), kNoSlots, kApp},
       .check = vpd_is(1, kErased)},
  };
  for (const std::string keys : {"\n", "3\n", "x2\n"}) {
    scenarios.push_back({.what = keys,
                         .setup = rescue_only(app),
                         .dialog = {Exchange{kQuestion, keys}},
                         .want = {kRanApplication, just_boot, kNoSlots, kApp,
                                  keys.substr(0, keys.size() - 1) + "\r\n"},
                         .check = [](const Board& b) {
                           vpd_is(1, 4)(b);
                           EXPECT_FALSE(b.exists(kImage1) || b.exists(kImage2));
                         }});
  }
  run_all(scenarios);
}

// The installed slot file is the whole record, header included; the selected slot is written
// first, then the booted one, and the next power-up boots from that slot without the rescue
// partition. The answer is a line read with the console's own echo; only its first character
// counts. The large record spans several of the launcher's reads from flash.
TEST_P(RescuePartitionTest, ApplicationRecordIsInstalledAsTheSlotAnswered) {
  for (const auto& [keys, record, version] :
       {std::tuple<std::string, Bytes, std::string>{"2\n", app_record("4.0.0.0"), "4.0.0.0"},
        {"1234567890\n", big_app_record("6.0.0.2", 36), "6.0.0.2"}}) {
    const std::string slot = keys.substr(0, 1), value = "0" + slot;
    const auto check = [&](const Board& b) {
      EXPECT_EQ(b.read("user/images/image" + slot), record);
      vpd_is(static_cast<uint8_t>(slot[0] - '0'), static_cast<uint8_t>(slot[0] - '0'))(b);
      Lines writes;
      for (const std::string& line : b.i2c_log())
        if (line.size() > 23 && line.rfind("i2c-0 0x54 write 01 ", 0) == 0) writes.push_back(line);
      EXPECT_EQ(writes,
                (Lines{"i2c-0 0x54 write 01 00 " + value, "i2c-0 0x54 write 01 3a " + value}));
      b.clear_logs();
      expect_boot(
          run(b), b,
          {kRanApplication, "Booting image '" + slot + "'\n" + app_says(version), "", kApp});
    };
    run_scenario({.what = keys,
                  .setup = rescue_only(record),
                  .dialog = {Exchange{kQuestion, keys}},
                  .want = {kRanApplication,
                           kBooting + kQuestion + "\nInstalling recovery image as image" + slot +
                               "...\nSetting boot image to " + slot + "\n" + app_says(version),
                           kNoSlots,
                           Lines{kMount, "mkdir /user/images &> /dev/null",
                                 "cp /tmp/image /user/images/image" + slot + "\\n", kUntar, kExec},
                           keys.substr(0, keys.size() - 1) + "\r\n"},
                  .check = check},
                 GetParam());
  }
}

// Records that are not booted reset the board, leave the archive empty and the booted-slot byte
// untouched; the shell comes first when the boot options allow it. A failed read of the header,
// or a boot loader's record, is no record; a failed read of the record, or a size beyond the
// partition or beyond 32 bits, is a failed check.
TEST_P(RescuePartitionTest, RecordsThatCannotBeBootedResetTheBoard) {
  const Bytes good = diags_record("3.0.0.0", 32);
  Bytes flipped = good, wrapping = good;
  flipped[100] ^= 0xFF;                        // inside the payload
  put_be32(wrapping.data() + 4, 0xFFFFFFF0u);  // 32 + 0xFFFFFFF0 bytes
  const Expect crc_failed = {kRebooted, kBooting, kNoSlots + "Image CRC failed. Quitting\n",
                             Lines{kMount, kReboot}};
  const Expect not_found = {kRebooted, kBooting, kNoSlots + "Image not found... \n",
                            Lines{kMount, kReboot}};
  const auto untouched = [](const Board& b) {
    EXPECT_EQ(b.vpd(kBootedSlot), kErased);
    EXPECT_EQ(b.read(kArchive).size(), 0u);
  };
  run_all({
      {.what = "check fails",
       .setup = rescue_only(flipped),
       .want = crc_failed,
       .check = untouched},
      {.what = "size wraps",
       .setup = rescue_only(wrapping),
       .want = crc_failed,
       .check = untouched},
      {.what = "header read fails",
       .setup = rescue_only(good),
       .options = {"--fault", "fail_mtd_read=rescue:1"},
       .want = not_found,
       .check = untouched},
      {.what = "record read fails",
       .setup = rescue_only(good),
       .options = {"--fault", "fail_mtd_read=rescue:2"},
       .want = crc_failed,
       .check = untouched},
      {.what = "boot loader record, shell enabled",
       .setup = rescue_only(other_record(kMagicBootLoader, 4096), {"shell=on"}),
       .closed_console = true,
       .want = {kRebooted, kBooting, kNoSlots + "Image not found... \n",
                Lines{kMount, kShell, kReboot}},
       .check = untouched},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, RescuePartitionTest, ::testing::ValuesIn(targets()),
                         TargetName());

}  // namespace
