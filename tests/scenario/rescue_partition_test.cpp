// The last resort: the record at the start of the rescue partition, booted when neither slot
// file can be opened. A diagnostics record boots at once; an application record may first be
// installed as a slot.
#include <unistd.h>

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

class RescuePartitionTest : public BootTest {
 protected:
  // Boots up to the install question and answers it with `keys`. The answer is a line read with
  // the console's own echo; `echo` receives what the terminal showed of it.
  Boot answer(const Board& board, const std::string& keys, std::string* echo = nullptr) {
    Console c(board, GetParam());
    EXPECT_TRUE(c.wait_for(kQuestion));
    usleep(800000);  // the launcher is waiting in its read by now
    c.send(keys);
    const Boot r = c.finish();
    if (echo) *echo = c.echo();
    return r;
  }
};

TEST_P(RescuePartitionTest, DiagnosticsRecordWithExtendedHeaderBootsAtOnce) {
  Board board;
  rescue_only(board, diags_record("3.0.0.0", 40));
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out, "Booting image '1'\nLaunching diagnostics image\ninstall diags image\n" +
                       kvzsim::diags_says("3.0.0.0"));
  EXPECT_EQ(r.err, kNoSlots);
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kExec}));
  EXPECT_EQ(board.vpd(kBootedSlot), 4);
  EXPECT_EQ(board.vpd(kSelectedSlot), 1);
}

TEST_P(RescuePartitionTest, LargeRecordIsUnpackedWhole) {
  Board board;
  const Bytes record = big_app_record("6.0.0.2", 36);
  rescue_only(board, record);
  board.remove("user/images");
  const Boot r = answer(board, "1\n");
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out, "Booting image '1'\n" + kQuestion +
                       "\nInstalling recovery image as image1...\nSetting boot image to 1\n" +
                       kvzsim::app_says("6.0.0.2"));
  EXPECT_EQ(board.text("tmp/home/bin/blob"), big_blob());
  EXPECT_EQ(board.read(kImage1), record);
}

// The installed slot file is the whole record, header included; the next power-up boots it
// from that slot without the rescue partition.
TEST_P(RescuePartitionTest, ApplicationRecordIsInstalledAsTheSlotAnswered) {
  struct Case {
    const char* keys;
    char slot;
    uint16_t hdrlen;
  };
  // More than the 7 characters that are read: only the first one counts.
  for (const Case c : {Case{"2\n", '2', 0}, Case{"1234567890\n", '1', 32}}) {
    SCOPED_TRACE(c.keys);
    Board board;
    const Bytes record = app_record("4.0.0.0", c.hdrlen);
    rescue_only(board, record);
    board.remove("user/images");  // made again by the install
    const std::string slot_file = std::string("user/images/image") + c.slot;
    std::string echo;
    Boot r = answer(board, c.keys, &echo);
    EXPECT_EQ(echo, std::string(c.keys, strlen(c.keys) - 1) + "\r\n");
    EXPECT_EQ(r.status, kRanApplication);
    EXPECT_EQ(r.out, "Booting image '1'\n" + kQuestion + "\nInstalling recovery image as image" +
                         c.slot + "...\nSetting boot image to " + c.slot + "\n" +
                         kvzsim::app_says("4.0.0.0"));
    EXPECT_EQ(r.err, kNoSlots);
    EXPECT_EQ(
        board.commands(),
        (Lines{kMount, kMkdirImages,
               std::string("cp /tmp/image /user/images/image") + c.slot + "\\n", kUntar, kExec}));
    EXPECT_EQ(board.read(slot_file), record);
    EXPECT_EQ(board.read("tmp/image"), record);
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
    r = run(board);
    EXPECT_EQ(r.status, kRanApplication);
    EXPECT_EQ(r.out, std::string("Booting image '") + c.slot + "'\n" + kvzsim::app_says("4.0.0.0"));
    EXPECT_EQ(r.err, "");
  }
}

TEST_P(RescuePartitionTest, OtherAnswersBootTheRecoveryImageWithoutInstalling) {
  for (const char* keys : {"3\n", "\n", "x2\n"}) {
    SCOPED_TRACE(keys);
    Board board;
    rescue_only(board, app_record("4.0.0.0"));
    const Boot r = answer(board, keys);
    EXPECT_EQ(r.status, kRanApplication);
    EXPECT_EQ(r.out, "Booting image '1'\n" + kQuestion + kJustBoot + kvzsim::app_says("4.0.0.0"));
    EXPECT_EQ(r.err, kNoSlots);
    EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kExec}));
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
    const Boot r =
        closed ? kvzsim::boot_closed_console(board, GetParam(), {}, 20, 60) : answer(board, "\x03");
    EXPECT_EQ(r.status, kRanApplication);
    EXPECT_EQ(r.out, "Booting image '1'\n" + kQuestion + kvzsim::app_says("4.0.0.0"));
    EXPECT_EQ(r.err, kNoSlots);
    EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kExec}));
    EXPECT_EQ(board.vpd(kSelectedSlot), 1);
    EXPECT_EQ(board.vpd(kBootedSlot), kErased);
  }
}

TEST_P(RescuePartitionTest, RecordFailingItsCheckIsNotBooted) {
  Board board;
  board.remove(kImage1);
  board.remove(kImage2);
  flip_byte(board, "flash/rescue", 100);  // inside the demo diagnostics record's payload
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out, "Booting image '1'\n");
  EXPECT_EQ(r.err, kNoSlots + "Image CRC failed. Quitting\n");
  EXPECT_EQ(board.commands(), (Lines{kMount, kReboot}));
  EXPECT_EQ(board.vpd(kBootedSlot), kErased);
  ASSERT_TRUE(board.exists(kArchive));
  EXPECT_EQ(board.read(kArchive).size(), 0u);
}

// Sizes beyond the partition, or beyond 32 bits, are refused like a failed check.
TEST_P(RescuePartitionTest, RecordLargerThanThePartitionIsNotBooted) {
  // 15 MiB in a 10 MiB partition; 32 + 0xFFFFFFF0 bytes.
  for (const uint32_t len : {0x00F00000u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(len);
    Board board;
    Bytes record = diags_record("3.0.0.0", 32);
    put_be32(record.data() + 4, len);
    rescue_only(board, record);
    const Boot r = run(board);
    EXPECT_EQ(r.status, kRebooted);
    EXPECT_EQ(r.out, "Booting image '1'\n");
    EXPECT_EQ(r.err, kNoSlots + "Image CRC failed. Quitting\n");
    EXPECT_EQ(board.commands(), (Lines{kMount, kReboot}));
    EXPECT_EQ(board.read(kArchive).size(), 0u);
  }
}

// A failed read of the header is no record; a failed read of the record is a failed check.
TEST_P(RescuePartitionTest, FlashReadFailuresAreNotBooted) {
  struct Case {
    const char* fault;
    const char* err;
  };
  for (const Case c : {Case{"fail_mtd_read=rescue:1", "Image not found... \n"},
                       Case{"fail_mtd_read=rescue:2", "Image CRC failed. Quitting\n"}}) {
    SCOPED_TRACE(c.fault);
    Board board;
    board.remove(kImage1);
    board.remove(kImage2);
    const Boot r = run(board, {"--fault", c.fault});
    EXPECT_EQ(r.status, kRebooted);
    EXPECT_EQ(r.out, "Booting image '1'\n");
    EXPECT_EQ(r.err, kNoSlots + c.err);
    EXPECT_EQ(board.commands(), (Lines{kMount, kReboot}));
    EXPECT_EQ(board.read(kArchive).size(), 0u);
  }
}

TEST_P(RescuePartitionTest, BootLoaderRecordIsNotBooted) {
  Board board;
  board.set_env({"shell=on"});
  rescue_only(board, other_record(kMagicBootLoader, 4096));
  const Boot r = kvzsim::boot_closed_console(board, GetParam(), {}, 20, 60);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out, "Booting image '1'\n");
  EXPECT_EQ(r.err, kNoSlots + "Image not found... \n");
  // The shell comes before the reset when the boot options allow it.
  EXPECT_EQ(board.commands(), (Lines{kMount, kShell, kReboot}));
  EXPECT_EQ(board.vpd(kBootedSlot), kErased);
}

INSTANTIATE_TEST_SUITE_P(Targets, RescuePartitionTest, ::testing::ValuesIn(kvzsim::targets()),
                         kvzsim::TargetName());

}  // namespace
