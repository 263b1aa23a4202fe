// The boot path on the virtual board, host and PowerPC: which slot boots, how the unpacked
// application is started, and the rescue partition's record as the last resort.
#include "boot_fixture.h"

using namespace boottest;

// The scenario tables are laid out by hand, a row of fields to a line where it fits.
// clang-format off
namespace {

const std::string kBoth = kBooting + "Booting image '2'\n";
const std::string kCrc1 = "Image1 CRC failed, trying Image2 now.\n";
const std::string kDiagsRan = "Launching diagnostics image\ninstall diags image\n";

// The archive that failed records were streamed into is left empty.
void archive_empty(const Board& b) {
  ASSERT_TRUE(b.exists(kArchive));
  EXPECT_EQ(b.read(kArchive).size(), 0u);
}

// Which slot boots: the slot selected in the VPD, the fallback to the other slot, and the rescue
// partition when neither slot holds a bootable record; malformed slot files included.
class SlotTest : public BootTest {};

Prepare slot1(const std::vector<Bytes>& records) {
  return put(kImage1, concat(records));
}

// Boots that end in a program, and the slot recorded as booted. Every boot reads the USB flag
// and the selected slot, writes the booted slot once after the register step of the bus-1
// device, leaves the slot files as they were, and removes the archive it unpacked.
TEST_P(SlotTest, EveryRoadToAProgram) {
  const std::string rescue = kDiagsRan + diags_says("1.0.0.0");
  const std::string app1 = app_says("1.1.0.0"), app2 = app_says("1.0.0.0");
  const std::string open2 = "Failed to open Application image 2. Trying image 1.\n";
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
      // A missing file: the other slot's file boots under the number of the slot asked for.
      {"slot 1 file missing", drop(kImage1), kBooting + app2,
       "Failed to open Application image 1. Trying image 2.\n", kApp, 1},
      {"slot 2 selected, its file missing", steps({select_slot(2), drop(kImage2)}),
       "Booting image '2'\n" + app1, open2, kApp, 2},
      {"slot 2 selected, both files missing", steps({select_slot(2), drop("user/images")}),
       "Booting image '2'\n" + rescue,
       open2 + "Failed to open Application image 1. Trying rescue image\n", kDiags, 4},
      // The last header scanned in slot 1 is an extended one: its magic is shown with bit 31.
      {"no bootable record in either slot",
       steps({slot1({other_record(kMagicRootFs, 100), other_record(kMagicKernel, 300, 32)}),
              put(kImage2, other_record(kMagicKernel, 100))}),
       kBoth + rescue,
       "Image has invalid header 0x834b565a. (0x64b565a)\nImage1 has invalid header... trying "
       "Image2.\nNo valid application image found. Trying rescue image\n",
       kDiags, 4},
      // Larger than what is read at a time: checked and unpacked whole.
      {"large extended records",
       slot1({other_record(kMagicKernel, 70000, 32), big_app_record("6.0.0.0", 48)}),
       kBooting + app_says("6.0.0.0"), "", kApp, 1},
      {"diagnostics record in a slot",
       slot1({other_record(kMagicKernel, 64), diags_record("2.0.0.0"), app_record("9.9.9.9")}),
       kBooting + "install diags image\n" + diags_says("2.0.0.0"), "", kDiags, 1},
      // Sizes that wrap 32 bits are refused like a bad check.
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
        {.what = c.what, .setup = remember, .want = {0, c.out, c.err, c.commands}, .check = check},
        GetParam());
  }
}

// Both checks fail (slot 2's record claims a length far beyond its file): no rescue partition,
// the shell first when enabled, the archive left empty. A silent EEPROM, a busy or missing bus 0
// boots slot 1 and writes nothing; on a busy or missing bus 1 the register step fails silently,
// the EEPROM write not. Without flash (and /user not mounted) there is no last resort: a reset.
TEST_P(SlotTest, OtherRoads) {
  const std::string busy = "I2C error when setting bus 0, device 0xa8: 16\n";
  const std::string busy9 = "I2C error when setting bus 0, device 0xa8: 9\n";
  const auto booted_and_register12 = [](uint8_t booted, uint8_t reg12) {
    return [=](const Board& b) {
      EXPECT_EQ(b.vpd(kBootedSlot), booted);
      EXPECT_EQ(b.read("eeprom/regs.bin").at(12), reg12);
    };
  };
  const Prepare booted_0 = [](const Board& b) { b.set_vpd(kBootedSlot, 0); };
  run_all({
      {.what = "both checks fail, shell enabled",
       .setup = steps({env({"shell=on"}), flip(kImage1, 40),
                       [](const Board& b) { b.patch(kImage2, 4, {0x7F, 0xFF, 0xFF, 0xF0}); }}),
       .dialog = {{kBoth, "echo operator was here\nexit\n"}},
       .want = {kRebooted, kBoth + "operator was here\n",
                kCrc1 + "Both image1 and image2 failed.\n",
                Lines{kMount, kShell, kReboot}, "echo operator was here\r\nexit\r\n"},
       .check = steps({vpd_is(1, kErased), archive_empty})},
      {.what = "silent EEPROM", .setup = select_slot(2), .options = fault("eeprom_silent=1"),
       .want = {0, "I2C error - device 0xa8 writing bus 0 offset 315: 6\n"
                   "I2C error - device 0xa8 writing bus 0 offset 256: 6\n" + kBooting +
                   "I2C error when writing bus 0 offset 314: 6\n" + kApp1, "", kApp},
       .check = vpd_is(2, kErased)},
      {.what = "busy bus 0", .setup = booted_0, .options = fault("i2c_busy=0"),
       .want = {0, busy + busy + kBooting + "I2C error when setting bus 0: 16\n" + kApp1, "", kApp},
       .check = booted_and_register12(0, 0x04)},
      {.what = "busy bus 1", .setup = booted_0, .options = fault("i2c_busy=1"),
       .want = {0, kBooting + kApp1, "", kApp}, .check = booted_and_register12(1, 0)},
      {.what = "bus 1 missing", .options = fault("bus_missing=1"),
       .want = {0, "ERROR: driver /dev/i2c-1 couldn't be opened\n" + kBooting + kApp1, "", kApp},
       .check = booted_and_register12(1, 0)},
      {.what = "bus 0 missing", .options = fault("bus_missing=0"),
       .want = {0, "ERROR: driver /dev/i2c-0 couldn't be opened\n" + busy9 + busy9 + kBooting +
                   "I2C error when setting bus 0: 9\n" + kApp1, "", kApp},
       .check = vpd_is(1, kErased)},
      {.what = "no flash geometry, mount fails", .setup = drop("user/images"),
       .options = {"--fault", "fail_memgetinfo=1", "--fault", "fail_system=/bin/mount"},
       .want = {kRebooted, "Could not get MTD device info \n" + kBooting,
                kNoSlots + "Image not found... \n", Lines{kMount, kReboot}}},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, SlotTest, ::testing::ValuesIn(targets()), TargetName());

// How the unpacked application is started: the boot options' modes, the debugger from the other
// slot, the question about an incompatible archive, and the reset after modes that return.
class LaunchTest : public BootTest {};

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

// The shell runs after diagnostics are moved into place. The memory checker goes with the
// debugging server, not the debugger. Without a usable debugger (no payload that could be one, no
// file, nowhere to unpack it, gunzip failing) the application starts normally. The server
// outranks the debugger.
TEST_P(LaunchTest, Modes) {
  const std::string found_gdb = "Extracting GDB from image slot 2\nFound GDB image 2 of length = " +
                                std::to_string(gzip_bytes(kvztest::bytes_of(kGdbScript)).size()) +
                                ".\ndecompressing GDB....\n*** Launching under GDB ***\n"
                                "gdb stand-in debugging /tmp/home/bin/mp.elf.strip\n";
  const std::string no_gdb =
      "\n**** GDB mode selected but GDB not available. Please install GDB image ***\n";
  const std::string no_gdb2 = kBooting + "Extracting GDB from image slot 2" + no_gdb + kApp1;
  const auto gdb_fetched = [](const Board& b) {
    EXPECT_EQ(b.text("tmp/gdb"), kGdbScript);
    EXPECT_EQ(b.vpd(kBootedSlot), 1);
  };
  const auto no_file = [](const std::string& rel) {
    return [=](const Board& b) { EXPECT_FALSE(b.exists(rel)); };
  };
  const std::string duma = "LD_PRELOAD=libduma.so.0.0.0 ";
  run_all({
      {.what = "diagnostics and the shell",
       .setup = steps({env({"shell=on"}), put(kImage1, diags_record("2.0.0.0"))}),
       .dialog = {{"Dropping into shell\n", "echo operator was here\nexit\n"}},
       .want = {0, kBooting + "install diags image\nDropping into shell\noperator was here\n"
                   "Dropping out of shell\n" + diags_says("2.0.0.0"),
                "", Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kShell, kExec},
                "echo operator was here\r\nexit\r\n"}},
      {.what = "debugger from the other slot",
       .setup = steps({env({"memchk=on", "gdb=on"}), install_gdb}),
       .want = {kRebooted, kBooting + found_gdb + kApp1, "",
                Lines{kMount, "gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb", kUntar,
                      "/tmp/gdb /tmp/home/bin/mp.elf.strip", kReboot}},
       .check = gdb_fetched},
      {.what = "no debugger in the other slot",
       .setup = steps({env({"gdb=on"}), select_slot(2),
                       slot1({other_record(kMagicBootLoader, 512), app_record("9.9.9.9")})}),
       .want = {0, "Booting image '2'\nExtracting GDB from image slot 1" + no_gdb +
                   app_says("1.0.0.0"), "Image has invalid header 0x24b565a\n", kApp},
       .check = no_file("tmp/gdb")},
      {.what = "debugger file cannot be created", .setup = env({"gdb=on"}),
       .options = fault("fail_open=/tmp/gdb.gz"),
       .want = {0, no_gdb2, "Failed to open GDB output file.\n", kApp}},
      {.what = "debugger does not unpack", .setup = steps({env({"gdb=on"}), install_gdb}),
       .options = fault("fail_system=gunzip"),
       .want = {0, kBooting + found_gdb.substr(0, found_gdb.find("*")) + no_gdb.substr(1) + kApp1,
                "chmod: cannot access '/tmp/gdb': No such file or directory\n",
                Lines{kMount, "gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb", kUntar, kExec}}},
      {.what = "no other slot file", .setup = steps({env({"gdb=on"}), drop(kImage2)}),
       .want = {0, no_gdb2, "Failed to open GDB image (from slot 2)\n", kApp}},
      {.what = "debugging server",
       .setup = steps({env({"gdb=on", "gdbserver=on", "gdbport=2345"}), install_gdb}),
       .want = {kRebooted, kBooting + kServerWaits + "2345\n", "",
                Lines{kMount, kUntar, "/bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\\n",
                      kReboot}},
       .check = no_file("tmp/gdb.gz")},
      {.what = "debugging server with the memory checker",
       .setup = env({"gdbserver=on", "memchk=on"}),
       .want = {kRebooted, kBooting + kServerWaits + "1234\n", kDumaLoaded,
                Lines{kMount, kUntar, duma + "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n",
                      kReboot}}},
      {.what = "memory checker", .setup = env({"memchk=on"}),
       .want = {kRebooted, kBooting + kApp1, kDumaLoaded,
                Lines{kMount, kUntar, duma + "/tmp/home/bin/mp.elf.strip\\n", kReboot}}},
  });
}

// An archive without home/bin/distro-id is suspect: a key is asked for without echo; only y or Y
// enters the rescue menu, else the start goes ahead. The shell that follows has its echo again.
TEST_P(LaunchTest, IncompatibleArchive) {
  const std::string starts = kBooting + kIncompatible, app5 = app_says("5.0.0.0");
  run_all({
      {.what = "no, then the shell", .setup = steps({env({"shell=on"}), install_suspect}),
       .dialog = {{kIncompatible, "n"}, {"Dropping into shell\n", "echo typed\nexit\n"}},
       .want = {0, starts + "Dropping into shell\ntyped\nDropping out of shell\n" + app5, "",
                Lines{kMount, kUntar, kShell, kExec}, "echo typed\r\nexit\r\n"}},
      {.what = "the interrupt key", .setup = install_suspect, .dialog = {{kIncompatible, "\x03"}},
       .want = {0, starts + app5, "", kApp}},
      {.what = "yes, then Reboot in the menu", .setup = install_suspect,
       .dialog = {{kIncompatible, "y"}, {"Option? : ", "R"}},
       .want = {kRebooted, starts + "Entering Rescue Mode.\n" + kMenu + "\nOption? : R\n", "",
                Lines{kMount, kUntar, kReboot}}},
      {.what = "console at its end", .setup = install_suspect, .closed_console = true,
       .want = {0, starts + app5, "", kApp}},
  });
}

// Platform programs that cannot run, and an archive that cannot be created: the board is reset,
// or the operator asked to power-cycle.
TEST_P(LaunchTest, ProgramsThatCannotRun) {
  run_all({
      {.what = "archive", .options = fault("fail_open=/tmp/kavosimage.tar.gz"),
       .want = {kRebooted, kBooting, "Failed to open application image output file.\n",
                Lines{kMount, kReboot}}},
      {.what = "unpacking", .options = fault("fail_system=cd /tmp"),
       .want = {kRebooted, kBooting, "Failed to gunzip Application OS.\n",
                Lines{kMount, kUntar, kReboot}}},
      {.what = "the application starter", .options = fault("fail_exec=/bin/backtrace"),
       .want = {kRebooted, kBooting, "Failed to start Application OS.\n",
                Lines{kMount, kUntar, kExec, kReboot}}},
      {.what = "reboot", .setup = steps({flip(kImage1, 40), flip(kImage2, 40)}),
       .options = fault("fail_system=reboot"),
       .want = {kOtherEnd, kBoth, kCrc1 + "Both image1 and image2 failed.\n"
                                  "System reboot failed, please power-cycle.\n",
                Lines{kMount, kReboot}}},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, LaunchTest, ::testing::ValuesIn(targets()), TargetName());

// The last resort when neither slot file can be opened: the rescue partition's first record.
class RescuePartitionTest : public BootTest {};

const std::string kQuestion =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";

// A board whose slot files are gone and whose rescue partition starts with `record`.
Prepare rescue_only(const Bytes& record) {
  return steps({drop("user/images"), [=](const Board& b) { b.patch("flash/rescue", 0, record); }});
}

// A diagnostics record boots at once. For an application record an answer other than 1 or 2
// boots it without installing; no answer at all leaves the board settings as they were.
TEST_P(RescuePartitionTest, RecordBoots) {
  const Bytes app = app_record("4.0.0.0");
  const std::string just_boot =
      "\nBooting recovery image. You will need to download and install an image before "
      "rebooting\n" +
      app_says("4.0.0.0");
  const std::string no_answer = kBooting + kQuestion + "\n" + app_says("4.0.0.0");
  run_all({
      {.what = "diagnostics record with an extended header",
       .setup = rescue_only(diags_record("3.0.0.0", 40)),
       .want = {0, kBooting + kDiagsRan + diags_says("3.0.0.0"), kNoSlots, kDiags},
       .check = vpd_is(1, 4)},
      {.what = "console at its end", .setup = rescue_only(app), .closed_console = true,
       .want = {0, no_answer, kNoSlots, kApp}, .check = vpd_is(1, kErased)},
      {.what = "the interrupt key", .setup = rescue_only(app), .dialog = {{kQuestion, "\x03"}},
       .want = {0, no_answer, kNoSlots, kApp}, .check = vpd_is(1, kErased)},
      {.what = "Enter", .setup = rescue_only(app), .dialog = {{kQuestion, "\n"}},
       .want = {0, kBooting + kQuestion + "\n" + just_boot, kNoSlots, kApp}, .check = vpd_is(1, 4)},
      {.what = "x2", .setup = rescue_only(app), .dialog = {{kQuestion, "x2\n"}},
       .want = {0, kBooting + kQuestion + "x2\n" + just_boot, kNoSlots, kApp},
       .check = vpd_is(1, 4)},
  });
}

// The installed slot file is the whole record; the selected slot is written first, then the
// booted one; the next power-up boots that slot. Only the answer's first character counts. A
// copy (several of cp's writes) cut short by a power failure holds no record header: the board
// boots the rescue image again rather than resetting for ever on a slot that fails its check.
TEST_P(RescuePartitionTest, ApplicationRecordIsInstalledAsTheSlotAnswered) {
  const Bytes record = big_app_record("6.0.0.2", 36);
  const std::string installing = kQuestion + "2345\n\nInstalling recovery image as image2...\n";
  const std::string app = app_says("6.0.0.2");
  const std::string mkdir = "mkdir /user/images &> /dev/null",
                    cp = "cp /tmp/image /user/images/image2\\n";
  const std::string no_record =
      "Failed to open Application image 1. Trying image 2.\nImage has invalid header 0x0. "
      "(0x64b565a)\nImage1 has invalid header... trying Image2.\nNo valid application image "
      "found. Trying rescue image\n";
  const auto installed = [&](const Board& b) {
    EXPECT_EQ(b.read(kImage2), record);
    vpd_is(2, 2)(b);
    Lines writes;
    for (const std::string& line : b.i2c_log())
      if (line.size() > 23 && line.rfind("i2c-0 0x54 write 01 ", 0) == 0) writes.push_back(line);
    EXPECT_EQ(writes, (Lines{"i2c-0 0x54 write 01 00 02", "i2c-0 0x54 write 01 3a 02"}));
  };
  for (const std::string cut : {"power_cut_user_write=1", "power_cut_user_write=2"}) {
    run_story(Board(), {
        {.what = cut, .setup = rescue_only(record), .options = fault(cut),
         .dialog = {{kQuestion, "2345\n"}},
         .want = {kOtherEnd, kBooting + installing, kNoSlots, Lines{kMount, mkdir, cp}}},
        {.what = "rescue image again", .closed_console = true,
         .want = {0, kBoth + kQuestion + "\n" + app, no_record, kApp}, .check = vpd_is(1, kErased)},
        {.what = "installed", .dialog = {{kQuestion, "2345\n"}},
         .want = {0, kBoth + installing + "Setting boot image to 2\n" + app, no_record,
                  Lines{kMount, mkdir, cp, kUntar, kExec}},
         .check = installed},
        {.what = "next power-up", .want = {0, "Booting image '2'\n" + app, "", kApp}},
    }, GetParam());
  }
}

// Records that are not booted reset the board (after the shell, when enabled), leave the archive
// empty and the booted slot untouched. A failed header read, or a boot loader's record, is no
// record; a failed record read, or a size beyond 32 bits, a failed check. An application record
// to install that fails its second read resets too; one whose copy fails boots all the same.
TEST_P(RescuePartitionTest, RecordsThatCannotBeBootedResetTheBoard) {
  const Bytes good = diags_record("3.0.0.0", 32);
  Bytes flipped = good, wrapping = good;
  flipped[100] ^= 0xFF;                        // inside the payload
  put_be32(wrapping.data() + 4, 0xFFFFFFF0u);  // 32 + 0xFFFFFFF0 bytes
  const Lines reset = {kMount, kReboot};
  const Expect crc_failed = {kRebooted, kBooting, kNoSlots + "Image CRC failed. Quitting\n", reset};
  const Expect not_found = {kRebooted, kBooting, kNoSlots + "Image not found... \n", reset};
  const Prepare untouched = steps({vpd_is(1, kErased), archive_empty});
  const Bytes app4 = app_record("4.0.0.0");
  const auto install_fails = [&](const std::string& cause) {
    return Scenario{.what = cause, .setup = rescue_only(app4), .options = fault(cause),
                    .dialog = {{kQuestion, "1\n"}},
                    .want = {kRebooted,
                             kBooting + kQuestion + "1\n\nInstalling recovery image as image1...\n",
                             kNoSlots + "Failed to open image file.\n", reset}};
  };
  run_all({
      {.what = "check fails", .setup = rescue_only(flipped), .want = crc_failed,
       .check = untouched},
      {.what = "size wraps", .setup = rescue_only(wrapping), .want = crc_failed,
       .check = untouched},
      {.what = "header read fails", .setup = rescue_only(good),
       .options = fault("fail_mtd_read=rescue:1"), .want = not_found, .check = untouched},
      {.what = "record read fails", .setup = rescue_only(good),
       .options = fault("fail_mtd_read=rescue:2"), .want = crc_failed, .check = untouched},
      {.what = "archive", .setup = drop("user/images"),
       .options = fault("fail_open=/tmp/kavosimage.tar.gz"),
       .want = {kRebooted, kBooting, kNoSlots + "Failed to open DuzIZ tarfile.\n", reset}},
      {.what = "archive of the diagnostics, opened again", .setup = drop("user/images"),
       .options = fault("fail_open=/tmp/kavosimage.tar.gz:2"),
       .want = {kRebooted, kBooting + "Launching diagnostics image\n",
                kNoSlots + "Failed to open diags image file.\n", reset}},
      install_fails("fail_open=/tmp/image"),     // the copy of the record to install
      install_fails("fail_mtd_read=rescue:3"),  // the record read again
      install_fails("fail_read=/tmp/image"),    // the copy read back
      {.what = "record copied, its copy fails", .setup = rescue_only(app4),
       .options = fault("fail_system=cp"), .dialog = {{kQuestion, "1\n"}},
       .want = {0, kBooting + kQuestion + "1\n\nInstalling recovery image as image1...\nSetting "
                   "boot image to 1\n" + app_says("4.0.0.0"), kNoSlots, Lines{kMount,
                "mkdir /user/images &> /dev/null", "cp /tmp/image /user/images/image1\\n", kUntar,
                kExec}}, .check = vpd_is(1, 1)},
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
// clang-format on
