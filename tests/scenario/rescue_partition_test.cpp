// The last resort: the record at the start of the rescue partition, booted when neither slot
// file can be opened. A diagnostics record boots at once; an application record may first be
// installed as a slot.
#include <cstring>

#include "boot_fixture.h"

using namespace boottest;

namespace {

const std::string kNoSlots =
    "Failed to open Application image 1. Trying image 2.\n"
    "Failed to open Application image 2. Trying rescue image\n";
const std::string kQuestion =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";
const std::string kJustBoot =
    "\nBooting recovery image. You will need to download and install an image before "
    "rebooting\n";
const std::string kMkdirImages = "mkdir /user/images &> /dev/null";

// A board whose slot files are gone and whose rescue partition starts with `record`.
void rescue_only(const Board& board, const Bytes& record) {
  board.remove(kImage1);
  board.remove(kImage2);
  board.patch("flash/rescue", 0, record);
}

class RescuePartitionTest : public BootTest {};

TEST_P(RescuePartitionTest, DiagnosticsRecordWithExtendedHeaderBootsAtOnce) {
  Board board;
  rescue_only(board, diags_record("3.0.0.0", 40));
  expect_run(run(board), board, kRanApplication,
             "Booting image '1'\nLaunching diagnostics image\ninstall diags image\n" +
                 kvzsim::diags_says("3.0.0.0"),
             kNoSlots, {kMount, kUntar, kMkdirDiags, kMoveDiags, kExec});
  EXPECT_EQ(board.vpd(kBootedSlot), 4);
  EXPECT_EQ(board.vpd(kSelectedSlot), 1);
}

// The installed slot file is the whole record, header included; the next power-up boots it
// from that slot without the rescue partition. The answer is a line read with the console's own
// echo. The large record spans several of the launcher's reads from flash.
TEST_P(RescuePartitionTest, ApplicationRecordIsInstalledAsTheSlotAnswered) {
  struct Case {
    const char* keys;
    char slot;
    Bytes record;
    const char* version;
  };
  // More than the 7 characters that are read: only the first one counts.
  const Case cases[] = {{"2\n", '2', app_record("4.0.0.0"), "4.0.0.0"},
                        {"1234567890\n", '1', big_app_record("6.0.0.2", 36), "6.0.0.2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    Board board;
    rescue_only(board, c.record);
    board.remove("user/images");  // made again by the install
    const std::string slot_file = std::string("user/images/image") + c.slot;
    std::string echo;
    Boot r = answer(board, kQuestion, c.keys, &echo);
    EXPECT_EQ(echo, std::string(c.keys, strlen(c.keys) - 1) + "\r\n");
    expect_run(r, board, kRanApplication,
               "Booting image '1'\n" + kQuestion + "\nInstalling recovery image as image" + c.slot +
                   "...\nSetting boot image to " + c.slot + "\n" + kvzsim::app_says(c.version),
               kNoSlots,
               {kMount, kMkdirImages,
                std::string("cp /tmp/image /user/images/image") + c.slot + "\\n", kUntar, kExec});
    EXPECT_EQ(board.read(slot_file), c.record);
    EXPECT_EQ(board.read("tmp/image"), c.record);
    EXPECT_EQ(board.vpd(kSelectedSlot), c.slot - '0');
    EXPECT_EQ(board.vpd(kBootedSlot), c.slot - '0');
    // The selected slot is written first, then the booted one.
    Lines eeprom_writes;
    for (const std::string& line : board.i2c_log())
      if (line.rfind("i2c-0 0x54 write 01 ", 0) == 0 && line.size() > 23)
        eeprom_writes.push_back(line);
    const std::string value = std::string("0") + c.slot;
    EXPECT_EQ(eeprom_writes,
              (Lines{"i2c-0 0x54 write 01 00 " + value, "i2c-0 0x54 write 01 3a " + value}));

    board.clear_logs();
    expect_run(run(board), board, kRanApplication,
               std::string("Booting image '") + c.slot + "'\n" + kvzsim::app_says(c.version), "",
               {kMount, kUntar, kExec});
  }
}

TEST_P(RescuePartitionTest, OtherAnswersBootTheRecoveryImageWithoutInstalling) {
  for (const char* keys : {"3\n", "\n", "x2\n"}) {
    SCOPED_TRACE(keys);
    Board board;
    rescue_only(board, app_record("4.0.0.0"));
    expect_run(answer(board, kQuestion, keys), board, kRanApplication,
               "Booting image '1'\n" + kQuestion + kJustBoot + kvzsim::app_says("4.0.0.0"),
               kNoSlots, {kMount, kUntar, kExec});
    EXPECT_FALSE(board.exists(kImage1));
    EXPECT_FALSE(board.exists(kImage2));
    EXPECT_FALSE(board.exists("tmp/image"));
    EXPECT_EQ(board.vpd(kSelectedSlot), 1);
    EXPECT_EQ(board.vpd(kBootedSlot), 4);
  }
}

// No answer at all, by the interrupt key or by a console at its end: the record boots and the
// board settings are left as they were.
TEST_P(RescuePartitionTest, NoAnswerBootsWithoutTouchingTheSettings) {
  for (const bool closed : {false, true}) {
    SCOPED_TRACE(closed ? "console at its end" : "Ctrl-C");
    Board board;
    rescue_only(board, app_record("4.0.0.0"));
    const Boot r = closed ? kvzsim::boot_closed_console(board, GetParam(), {}, 20, 60)
                          : answer(board, kQuestion, "\x03");
    expect_run(r, board, kRanApplication,
               "Booting image '1'\n" + kQuestion + kvzsim::app_says("4.0.0.0"), kNoSlots,
               {kMount, kUntar, kExec});
    EXPECT_EQ(board.vpd(kSelectedSlot), 1);
    EXPECT_EQ(board.vpd(kBootedSlot), kErased);
  }
}

// Records that are not booted reset the board, leave the archive empty and the booted-slot byte
// untouched. A failed read of the header is no record; a failed read of the record, or sizes
// beyond the partition or beyond 32 bits, are a failed check.
TEST_P(RescuePartitionTest, RecordsThatCannotBeBootedResetTheBoard) {
  const Bytes good = diags_record("3.0.0.0", 32);
  Bytes flipped = good, too_long = good, wrapping = good;
  flipped[100] ^= 0xFF;                        // inside the payload
  put_be32(too_long.data() + 4, 0x00F00000u);  // 15 MiB in a 10 MiB partition
  put_be32(wrapping.data() + 4, 0xFFFFFFF0u);  // 32 + 0xFFFFFFF0 bytes
  const std::string crc_failed = "Image CRC failed. Quitting\n";
  const struct {
    const char* what;
    Bytes record;
    const char* fault;
    std::string err;
  } cases[] = {
      {"check fails", flipped, "", crc_failed},
      {"longer than the partition", too_long, "", crc_failed},
      {"size wraps", wrapping, "", crc_failed},
      {"header read fails", good, "fail_mtd_read=rescue:1", "Image not found... \n"},
      {"record read fails", good, "fail_mtd_read=rescue:2", crc_failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Board board;
    rescue_only(board, c.record);
    std::vector<std::string> extra;
    if (*c.fault) extra = {"--fault", c.fault};
    expect_run(run(board, extra), board, kRebooted, "Booting image '1'\n", kNoSlots + c.err,
               {kMount, kReboot});
    EXPECT_EQ(board.vpd(kBootedSlot), kErased);
    EXPECT_EQ(board.read(kArchive).size(), 0u);
  }
}

TEST_P(RescuePartitionTest, BootLoaderRecordIsNotBooted) {
  Board board;
  board.set_env({"shell=on"});
  rescue_only(board, other_record(kMagicBootLoader, 4096));
  // The shell comes before the reset when the boot options allow it.
  expect_run(kvzsim::boot_closed_console(board, GetParam(), {}, 20, 60), board, kRebooted,
             "Booting image '1'\n", kNoSlots + "Image not found... \n", {kMount, kShell, kReboot});
  EXPECT_EQ(board.vpd(kBootedSlot), kErased);
}

INSTANTIATE_TEST_SUITE_P(Targets, RescuePartitionTest, ::testing::ValuesIn(kvzsim::targets()),
                         kvzsim::TargetName());

}  // namespace
