// The boot path on the virtual board, host and PowerPC: which slot boots, how the unpacked
// application is started, and the rescue partition's record as the last resort.
#include "boot_fixture.h"

using namespace boottest;

namespace {

const std::string kBooting = "Booting image '1'\n", kBoth = kBooting + "Booting image '2'\n";
const Lines kApp = Lines{kMount, kUntar, kExec};

// The archive that failed records were streamed into is left empty.
void archive_empty(const Board& b) {
  ASSERT_TRUE(b.exists(kArchive));
  EXPECT_EQ(b.read(kArchive).size(), 0u);
}

// ---- Slots ----------------------------------------------------------------------------------

// Which slot boots: the slot selected in the VPD, the fallback to the other slot, and the rescue
// partition when neither slot holds a bootable record; malformed slot files included.
class SlotTest : public BootTest {};

const std::string kCrc1 = "Image1 CRC failed, trying Image2 now.\n";
const std::string kBothFailed = kCrc1 + "Both image1 and image2 failed.\n";

Prepare slot1(const std::vector<Bytes>& records) {
  return put(kImage1, concat(records));
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
      {"slot 2 selected", select_slot(2), "Booting image '2'\n" + app2, "", kApp, 2},
      {"slot 7 selected", select_slot(7), kBooting + app1, "", kApp, 1},
      {"slot 1 fails its check", flip(kImage1, 40), kBoth + app2, kCrc1, kApp, 2},
      // A missing file: the attempt goes on with the other slot's file but keeps the number of
      // the slot it was asked for, and that number is what the booted-slot byte receives.
      {"slot 1 file missing", drop(kImage1), kBooting + app2,
       "Failed to open Application image 1. Trying image 2.\n", kApp, 1},
      {"slot 2 selected, its file missing", steps({select_slot(2), drop(kImage2)}),
       "Booting image '2'\n" + app1, "Failed to open Application image 2. Trying image 1.\n", kApp,
       2},
      {"slot 2 selected, both files missing", steps({select_slot(2), drop("user/images")}),
       "Booting image '2'\n" + rescue,
       "Failed to open Application image 2. Trying image 1.\n"
       "Failed to open Application image 1. Trying rescue image\n",
       diags, 4},
      // The last header scanned in slot 1 is an extended one: its magic is shown with bit 31.
      {"no bootable record in either slot",
       steps({slot1({other_record(kMagicRootFs, 100), other_record(kMagicKernel, 300, 32)}),
              put(kImage2, other_record(kMagicKernel, 100))}),
       kBoth + rescue,
       "Image has invalid header 0x834b565a. (0x64b565a)\n"
       "Image1 has invalid header... trying Image2.\n"
       "No valid application image found. Trying rescue image\n",
       diags, 4},
      // Larger than what is read at a time: checked and unpacked whole.
      {"large extended records",
       slot1({other_record(kMagicKernel, 70000, 32), big_app_record("6.0.0.0", 48)}),
       kBooting + app_says("6.0.0.0"), "", kApp, 1},
      {"diagnostics record in a slot",
       slot1({other_record(kMagicKernel, 64), diags_record("2.0.0.0"), app_record("9.9.9.9")}),
       kBooting + "install diags image\n" + diags_says("2.0.0.0"), "", diags, 1},
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
  run_all({
      // Slot 2's record claims a length far beyond its file (and what the board could hold).
      {.what = "both checks fail, shell enabled",
       .setup = steps({env({"shell=on"}), flip(kImage1, 40),
                       [](const Board& b) {
                         b.patch(kImage2, 4, {0x7F, 0xFF, 0xFF, 0xF0});
                       }}),
       .dialog = {Exchange{kBoth, "echo operator was here\nexit\n"}},
       .want = {kRebooted, kBoth + "operator was here\n", kBothFailed,
                Lines{kMount, kShell, kReboot}, "echo operator was here\r\nexit\r\n"},
       .check = steps({vpd_is(1, kErased), archive_empty})},
      {.what = "silent EEPROM",
       .setup = select_slot(2),
       .options = {"--fault", "eeprom_silent=1"},
       .want = {kRanApplication,
                "I2C error - device 0xa8 writing bus 0 offset 315: 6\n"
                "I2C error - device 0xa8 writing bus 0 offset 256: 6\n" +
                    kBooting + "I2C error when writing bus 0 offset 314: 6\n" + app_says("1.1.0.0"),
                "", kApp},
       .check = vpd_is(2, kErased)},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, SlotTest, ::testing::ValuesIn(targets()), TargetName());

// ---- Launch ---------------------------------------------------------------------------------

// How the unpacked application is started: the boot options' modes and their precedence, the
// debugger fetched from the other slot, the question about an incompatible archive, and the
// board reset that ends every mode which does not replace the launcher.
class LaunchTest : public BootTest {};

const std::string kApp1 = app_says("1.1.0.0");
const std::string kRunUnderGdb = "/tmp/gdb /tmp/home/bin/mp.elf.strip";
const std::string kDumaLoaded = "DUMA (virtual board stand-in) loaded\n";
const std::string kServerWaits =
    "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port ";
const std::string kIncompatible =
    "WARNING: Suspected incompatible application image detected during unpacking\n"
    "Would you like to enter recovery mode to download a new image? y/N: ";
// The debugger stand-in: says what it was asked to debug, then runs it.
const std::string kGdbScript = "#!/bin/sh\necho \"gdb stand-in debugging $1\"\nexec \"$1\"\n";

// A gzip'd debugger as the payload of the first record of slot 2, ahead of an application.
void install_gdb(const Board& board) {
  const Bytes gdb = gzip_bytes(kvztest::bytes_of(kGdbScript));
  board.write(kImage2,
              concat({make_record(kMagicApplication, 0x07000000, gdb), app_record("1.0.0.0")}));
}

// An application record whose archive lacks home/bin/distro-id: a suspect one.
void install_suspect(const Board& board) {
  board.write(kImage1, make_record(kMagicApplication, 0x01000000, app_archive("5.0.0.0", false)));
}

TEST_P(LaunchTest, Modes) {
  const std::string found_gdb = "Extracting GDB from image slot 2\nFound GDB image 2 of length = " +
                                std::to_string(gzip_bytes(kvztest::bytes_of(kGdbScript)).size()) +
                                ".\ndecompressing GDB....\n*** Launching under GDB ***\n"
                                "gdb stand-in debugging /tmp/home/bin/mp.elf.strip\n";
  const std::string no_gdb =
      "\n**** GDB mode selected but GDB not available. Please install GDB image ***\n";
  const Lines under_gdb =
      Lines{kMount, "gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb", kUntar, kRunUnderGdb, kReboot};
  const auto gdb_fetched = [](const Board& b) {
    EXPECT_EQ(b.text("tmp/gdb"), kGdbScript);
    EXPECT_EQ(b.vpd(kBootedSlot), 1);
  };
  run_all({
      // Diagnostics are moved into place, then the shell reads the console: what it is told to
      // do shows up on standard output.
      {.what = "diagnostics and the shell",
       .setup = steps({env({"shell=on"}), put(kImage1, diags_record("2.0.0.0"))}),
       .dialog = {Exchange{"Dropping into shell\n", "echo operator was here\nexit\n"}},
       .want = {kRanApplication,
                kBooting + "install diags image\nDropping into shell\noperator was here\n" +
                    "Dropping out of shell\n" + diags_says("2.0.0.0"),
                "", Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kShell, kExec},
                "echo operator was here\r\nexit\r\n"}},
      // The memory checker goes only with the debugging server: under the debugger it is left
      // out.
      {.what = "debugger from the other slot",
       .setup = steps({env({"memchk=on", "gdb=on"}), install_gdb}),
       .want = {kRebooted, kBooting + found_gdb + kApp1, "", under_gdb},
       .check = gdb_fetched},
      // Without a usable debugger in the other slot the application starts normally: its first
      // record is no payload that could be one, or its file is missing.
      {.what = "no debugger in the other slot",
       .setup = steps(
           {env({"gdb=on"}), select_slot(2),
            put(kImage1, concat({other_record(kMagicBootLoader, 512), app_record("9.9.9.9")}))}),
       .want = {kRanApplication,
                "Booting image '2'\nExtracting GDB from image slot 1" + no_gdb +
                    app_says("1.0.0.0"),
                "Image has invalid header 0x24b565a\n", Lines{kMount, kUntar, kExec}},
       .check = [](const Board& b) { EXPECT_FALSE(b.exists("tmp/gdb")); }},
      {.what = "no other slot file",
       .setup = steps({env({"gdb=on"}), drop(kImage2)}),
       .want = {kRanApplication, kBooting + "Extracting GDB from image slot 2" + no_gdb + kApp1,
                "Failed to open GDB image (from slot 2)\n", Lines{kMount, kUntar, kExec}}},
      // The server outranks the debugger (none is fetched) and listens on the port given.
      {.what = "debugging server",
       .setup = steps({env({"gdb=on", "gdbserver=on", "gdbport=2345"}), install_gdb}),
       .want = {kRebooted, kBooting + kServerWaits + "2345\n", "",
                Lines{kMount, kUntar, "/bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\\n",
                      kReboot}},
       .check = [](const Board& b) { EXPECT_FALSE(b.exists("tmp/gdb.gz")); }},
      {.what = "debugging server with the memory checker",
       .setup = env({"gdbserver=on", "memchk=on"}),
       .want =
           {kRebooted, kBooting + kServerWaits + "1234\n", kDumaLoaded,
            Lines{kMount, kUntar,
                  "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n",
                  kReboot}}},
      {.what = "memory checker",
       .setup = env({"memchk=on"}),
       .want = {kRebooted, kBooting + kApp1, kDumaLoaded,
                Lines{kMount, kUntar, "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\\n",
                      kReboot}}},
  });
}

// An archive without home/bin/distro-id is suspect: a key is asked for without echo, only y or Y
// would enter the rescue menu, and the start goes ahead whatever the answer. The console is given
// back as it was: the shell that follows reads lines with the terminal's own echo again.
TEST_P(LaunchTest, IncompatibleArchive) {
  const std::string starts = kBooting + kIncompatible;
  const Lines commands = Lines{kMount, kUntar, kExec};
  run_all({
      {.what = "no, then the shell",
       .setup = steps({env({"shell=on"}), install_suspect}),
       .dialog = {Exchange{kIncompatible, "n"},
                  Exchange{"Dropping into shell\n", "echo typed\nexit\n"}},
       .want = {kRanApplication,
                starts + "Dropping into shell\ntyped\nDropping out of shell\n" +
                    app_says("5.0.0.0"),
                "", Lines{kMount, kUntar, kShell, kExec}, "echo typed\r\nexit\r\n"}},
      {.what = "the interrupt key",
       .setup = install_suspect,
       .dialog = {Exchange{kIncompatible, "\x03"}},
       .want = {kRanApplication, starts + app_says("5.0.0.0"), "", commands}},
      // y enters the rescue menu; Reboot there resets the board.
      {.what = "yes, then Reboot in the menu",
       .setup = install_suspect,
       .dialog = {Exchange{kIncompatible, "y"}, Exchange{"Option? : ", "R"}},
       .want = {kRebooted, starts + "Entering Rescue Mode.\n" + kMenu + "\nOption? : R\n", "",
                Lines{kMount, kUntar, kReboot}}},
      // Nobody will ever answer: the end of input is taken as no.
      {.what = "console at its end",
       .setup = install_suspect,
       .closed_console = true,
       .want = {kRanApplication, starts + app_says("5.0.0.0"), "", commands}},
  });
}

// Platform programs that cannot run: the board is reset, or the operator asked to power-cycle.
TEST_P(LaunchTest, ProgramsThatCannotRun) {
  run_all({
      {.what = "unpacking",
       .options = {"--fault", "fail_system=cd /tmp"},
       .want = {kRebooted, kBooting, "Failed to gunzip Application OS.\n",
                Lines{kMount, kUntar, kReboot}}},
      {.what = "the application starter",
       .options = {"--fault", "fail_exec=/bin/backtrace"},
       .want = {kRebooted, kBooting, "Failed to start Application OS.\n",
                Lines{kMount, kUntar, kExec, kReboot}}},
      {.what = "reboot",
       .setup = steps({flip(kImage1, 40), flip(kImage2, 40)}),
       .options = {"--fault", "fail_system=reboot"},
       .want = {kOtherEnd, kBooting + "Booting image '2'\n",
                "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
                "System reboot failed, please power-cycle.\n",
                Lines{kMount, kReboot}}},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, LaunchTest, ::testing::ValuesIn(targets()), TargetName());

// ---- Rescue partition -----------------------------------------------------------------------

// The last resort: the record at the start of the rescue partition, booted when neither slot
// file can be opened. A diagnostics record boots at once; an application record may first be
// installed as a slot.
class RescuePartitionTest : public BootTest {};

const std::string kNoSlots =
    "Failed to open Application image 1. Trying image 2.\n"
    "Failed to open Application image 2. Trying rescue image\n";
const std::string kQuestion =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";

// A board whose slot files are gone and whose rescue partition starts with `record`.
Prepare rescue_only(const Bytes& record) {
  return steps({drop("user/images"), [=](const Board& b) { b.patch("flash/rescue", 0, record); }});
}

// A diagnostics record boots at once. For an application record an answer other than 1 or 2
// boots it without installing; no answer at all (a console at its end) leaves the board
// settings as they were.
TEST_P(RescuePartitionTest, RecordBoots) {
  const Bytes app = app_record("4.0.0.0");
  const std::string just_boot =
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
      // The line editor ends the line it was reading, and nothing is changed.
      {.what = "console at its end",
       .setup = rescue_only(app),
       .closed_console = true,
       .want = {kRanApplication, kBooting + kQuestion + "\n" + app_says("4.0.0.0"), kNoSlots, kApp},
       .check = vpd_is(1, kErased)},
      {.what = "the interrupt key",
       .setup = rescue_only(app),
       .dialog = {Exchange{kQuestion, "\x03"}},
       .want = {kRanApplication, kBooting + kQuestion + "\n" + app_says("4.0.0.0"), kNoSlots, kApp},
       .check = vpd_is(1, kErased)},
  };
  // The answer is read by the line editor, which echoes it on standard output.
  for (const std::string keys : {"\n", "x2\n"}) {
    scenarios.push_back(
        {.what = keys,
         .setup = rescue_only(app),
         .dialog = {Exchange{kQuestion, keys}},
         .want = {kRanApplication, kBooting + kQuestion + keys + just_boot, kNoSlots, kApp},
         .check = vpd_is(1, 4)});
  }
  run_all(scenarios);
}

// The installed slot file is the whole record, header included; the selected slot is written
// first, then the booted one, and the next power-up boots from that slot without the rescue
// partition. The answer is a line read with the console's own echo; only its first character
// counts. The large record spans several of the launcher's reads from flash.
TEST_P(RescuePartitionTest, ApplicationRecordIsInstalledAsTheSlotAnswered) {
  const Bytes record = big_app_record("6.0.0.2", 36);
  const auto installed = [&](const Board& b) {
    EXPECT_EQ(b.read(kImage2), record);
    vpd_is(2, 2)(b);
    Lines writes;
    for (const std::string& line : b.i2c_log())
      if (line.size() > 23 && line.rfind("i2c-0 0x54 write 01 ", 0) == 0) writes.push_back(line);
    EXPECT_EQ(writes, (Lines{"i2c-0 0x54 write 01 00 02", "i2c-0 0x54 write 01 3a 02"}));
    b.clear_logs();
    expect_boot(run(b), b,
                {kRanApplication, "Booting image '2'\n" + app_says("6.0.0.2"), "", kApp});
  };
  run_scenario({.what = "installed",
                .setup = rescue_only(record),
                .dialog = {Exchange{kQuestion, "2345\n"}},
                .want = {kRanApplication,
                         kBooting + kQuestion +
                             "2345\n\nInstalling recovery image as image2...\nSetting boot image "
                             "to 2\n" +
                             app_says("6.0.0.2"),
                         kNoSlots,
                         Lines{kMount, "mkdir /user/images &> /dev/null",
                               "cp /tmp/image /user/images/image2\\n", kUntar, kExec}},
                .check = installed},
               GetParam());
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
  const Prepare untouched = steps({vpd_is(1, kErased), archive_empty});
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
       .setup = steps({env({"shell=on"}), rescue_only(other_record(kMagicBootLoader, 4096))}),
       .closed_console = true,
       .want = {kRebooted, kBooting, kNoSlots + "Image not found... \n",
                Lines{kMount, kShell, kReboot}},
       .check = untouched},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, RescuePartitionTest, ::testing::ValuesIn(targets()),
                         TargetName());

}  // namespace
