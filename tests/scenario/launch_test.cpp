// How the unpacked application is started: the boot options' modes and their precedence, the
// debugger fetched from the other slot, the question about an incompatible archive, and the
// board reset that ends every mode which does not replace the launcher.
#include <unistd.h>

#include "boot_fixture.h"

using namespace boottest;

namespace {

const std::string kRunUnderGdb = "/tmp/gdb /tmp/home/bin/mp.elf.strip";
const std::string kGunzipGdb = "gunzip /tmp/gdb.gz";
const std::string kChmodGdb = "chmod +x /tmp/gdb";
const std::string kDumaLoaded = "DUMA (virtual board stand-in) loaded\n";
const std::string kIncompatible =
    "WARNING: Suspected incompatible application image detected during unpacking\n"
    "Would you like to enter recovery mode to download a new image? y/N: ";

// The debugger stand-in: says what it was asked to debug, then runs it.
const std::string kGdbScript = "#!/bin/sh\necho \"gdb stand-in debugging $1\"\nexec \"$1\"\n";

// Puts a gzip'd debugger as the payload of the first record of the given slot file, ahead of an
// application record, and returns the length of that payload.
size_t install_gdb(const Board& board, const std::string& slot_file) {
  const Bytes gdb = kvzsim::gzip_bytes(kvztest::bytes_of(kGdbScript));
  board.write(slot_file,
              concat({make_record(kMagicApplication, 0x07000000, gdb), app_record("1.0.0.0")}));
  return gdb.size();
}

class LaunchTest : public BootTest {
 protected:
  // Waits for the key question, lets the launcher settle in its read, then presses keys. The
  // key is read without echo: nothing comes back on the terminal.
  Boot answer_incompatible(const Board& board, const std::string& keys) {
    Console c(board, GetParam());
    EXPECT_TRUE(c.wait_for(kIncompatible));
    usleep(800000);
    c.send(keys);
    const Boot r = c.finish();
    EXPECT_EQ(c.echo(), "");
    return r;
  }
};

TEST_P(LaunchTest, ShellOptionGivesTheShellBeforeTheApplication) {
  Board board;
  board.set_env({"shell=on"});
  Console c(board, GetParam());
  ASSERT_TRUE(c.wait_for("Dropping into shell\n"));
  c.send("echo operator was here\nexit\n");
  const Boot r = c.finish();
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out,
            "Booting image '1'\nDropping into shell\noperator was here\nDropping out of shell\n" +
                kvzsim::app_says("1.1.0.0"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kShell, kExec}));
}

TEST_P(LaunchTest, DiagnosticsAreInstalledBeforeTheShell) {
  Board board;
  board.set_env({"shell=on"});
  board.write(kImage1, diags_record("2.0.0.0"));
  const Boot r = kvzsim::boot_closed_console(board, GetParam());
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out,
            "Booting image '1'\ninstall diags image\nDropping into shell\nDropping out of shell\n" +
                kvzsim::diags_says("2.0.0.0"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kShell, kExec}));
}

TEST_P(LaunchTest, GdbOptionRunsTheApplicationUnderTheOtherSlotsDebugger) {
  Board board;
  board.set_env({"gdb=on"});
  const size_t len = install_gdb(board, kImage2);
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out,
            "Booting image '1'\nExtracting GDB from image slot 2\nFound GDB image 2 of length = " +
                std::to_string(len) +
                ".\ndecompressing GDB....\n*** Launching under GDB ***\n"
                "gdb stand-in debugging /tmp/home/bin/mp.elf.strip\n" +
                kvzsim::app_says("1.1.0.0"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.commands(),
            (Lines{kMount, kGunzipGdb, kChmodGdb, kUntar, kRunUnderGdb, kReboot}));
  EXPECT_EQ(board.text("tmp/gdb"), kGdbScript);
  EXPECT_EQ(board.vpd(kBootedSlot), 1);
}

// The memory checker goes only with the debugging server: under the debugger it is left out.
TEST_P(LaunchTest, GdbWithMemoryCheckerRunsWithoutTheChecker) {
  Board board;
  board.set_env({"memchk=on", "gdb=on"});
  install_gdb(board, kImage2);
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.commands(),
            (Lines{kMount, kGunzipGdb, kChmodGdb, kUntar, kRunUnderGdb, kReboot}));
}

TEST_P(LaunchTest, GdbOptionWithoutUsableDebuggerStartsNormally) {
  Board board;
  board.set_env({"gdb=on"});
  // Slot 2 boots, so the debugger is looked for in slot 1, whose first record is no payload
  // that could be one.
  board.set_vpd(kSelectedSlot, 2);
  board.write(kImage1, concat({other_record(kMagicBootLoader, 512), app_record("9.9.9.9")}));
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out,
            "Booting image '2'\nExtracting GDB from image slot 1\n"
            "**** GDB mode selected but GDB not available. Please install GDB image ***\n" +
                kvzsim::app_says("1.0.0.0"));
  EXPECT_EQ(r.err, "Image has invalid header 0x24b565a\n");
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kExec}));
  EXPECT_FALSE(board.exists("tmp/gdb"));
  EXPECT_EQ(board.vpd(kBootedSlot), 2);
}

TEST_P(LaunchTest, GdbOptionWithoutTheOtherSlotFileStartsNormally) {
  Board board;
  board.set_env({"gdb=on"});
  board.remove(kImage2);
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out,
            "Booting image '1'\nExtracting GDB from image slot 2\n"
            "**** GDB mode selected but GDB not available. Please install GDB image ***\n" +
                kvzsim::app_says("1.1.0.0"));
  EXPECT_EQ(r.err, "Failed to open GDB image (from slot 2)\n");
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kExec}));
}

// The server outranks the debugger (no debugger is fetched) and listens on the port given.
TEST_P(LaunchTest, GdbServerOptionRunsTheServerOnItsPort) {
  Board board;
  board.set_env({"gdb=on", "gdbserver=on", "gdbport=2345"});
  install_gdb(board, kImage2);
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out,
            "Booting image '1'\n"
            "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port 2345\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.commands(),
            (Lines{kMount, kUntar, "/bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\\n", kReboot}));
  EXPECT_FALSE(board.exists("tmp/gdb.gz"));
}

TEST_P(LaunchTest, GdbServerWithMemoryCheckerPreloadsTheChecker) {
  Board board;
  board.set_env({"gdbserver=on", "memchk=on"});
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out,
            "Booting image '1'\n"
            "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port 1234\n");
  EXPECT_EQ(r.err, kDumaLoaded);
  EXPECT_EQ(board.commands(),
            (Lines{kMount, kUntar,
                   "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n",
                   kReboot}));
}

TEST_P(LaunchTest, MemoryCheckerAloneRunsTheApplicationWithTheChecker) {
  Board board;
  board.set_env({"memchk=on"});
  const Boot r = run(board);
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out, "Booting image '1'\n" + kvzsim::app_says("1.1.0.0"));
  EXPECT_EQ(r.err, kDumaLoaded);
  EXPECT_EQ(board.commands(),
            (Lines{kMount, kUntar, "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\\n",
                   kReboot}));
}

// An archive without home/bin/distro-id is suspect; only y or Y enters the rescue menu, and
// the start goes ahead whatever the answer (the menu's Exit included).
TEST_P(LaunchTest, IncompatibleArchiveAsksWhetherToEnterRecovery) {
  struct Case {
    const char* what;
    std::string keys;
  };
  for (const Case& k : {Case{"n", "n"}, Case{"y", "y"}, Case{"Y", "Y"}, Case{"Ctrl-C", "\x03"}}) {
    SCOPED_TRACE(k.what);
    Board board;
    board.write(kImage1,
                make_record(kMagicApplication, 0x01000000, kvzsim::app_archive("5.0.0.0", false)));
    const Boot r = answer_incompatible(board, k.keys);
    EXPECT_EQ(r.status, kRanApplication);
    EXPECT_EQ(r.out, "Booting image '1'\n" + kIncompatible + kvzsim::app_says("5.0.0.0"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kExec}));
  }
}

// The key is taken without echo, and the console is given back as it was: the shell that follows
// reads lines with the terminal's own echo again.
TEST_P(LaunchTest, KeyQuestionLeavesTheConsoleAsItWas) {
  Board board;
  board.set_env({"shell=on"});
  board.write(kImage1,
              make_record(kMagicApplication, 0x01000000, kvzsim::app_archive("5.0.0.0", false)));
  Console c(board, GetParam());
  ASSERT_TRUE(c.wait_for(kIncompatible));
  usleep(800000);
  c.send("n");
  ASSERT_TRUE(c.wait_for("Dropping into shell\n"));
  c.send("echo typed\nexit\n");
  ASSERT_TRUE(c.wait_for("Dropping out of shell\n"));
  EXPECT_EQ(c.echo(), "echo typed\r\nexit\r\n");
  const Boot r = c.finish();
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out, "Booting image '1'\n" + kIncompatible +
                       "Dropping into shell\ntyped\nDropping out of shell\n" +
                       kvzsim::app_says("5.0.0.0"));
}

// Nobody will ever answer: the question takes the end of input as no and the boot finishes.
TEST_P(LaunchTest, IncompatibleArchiveWithConsoleAtItsEndStartsAnyway) {
  Board board;
  board.write(kImage1,
              make_record(kMagicApplication, 0x01000000, kvzsim::app_archive("5.0.0.0", false)));
  const Boot r = kvzsim::boot_closed_console(board, GetParam(), {}, 20, 60);
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out, "Booting image '1'\n" + kIncompatible + kvzsim::app_says("5.0.0.0"));
  EXPECT_EQ(r.err, "");
}

// Options that cannot be read are all off.
TEST_P(LaunchTest, UnreadableEnvironmentLeavesTheDefaults) {
  Board board;
  board.set_env({"memchk=on", "shell=on"});
  const Boot r = run(board, {"--fault", "fail_mtd_read=ubootenv:1"});
  EXPECT_EQ(r.status, kRanApplication);
  EXPECT_EQ(r.out, "Booting image '1'\n" + kvzsim::app_says("1.1.0.0"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kExec}));
}

TEST_P(LaunchTest, RebootThatCannotRunAsksForAPowerCycle) {
  Board board;
  flip_byte(board, kImage1, 40);
  flip_byte(board, kImage2, 40);
  const Boot r = run(board, {"--fault", "fail_system=reboot"});
  EXPECT_EQ(r.status, kOtherEnd);  // ended without the reboot
  EXPECT_EQ(r.out, "Booting image '1'\nBooting image '2'\n");
  EXPECT_EQ(r.err,
            "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
            "System reboot failed, please power-cycle.\n");
  EXPECT_EQ(board.commands(), (Lines{kMount, kReboot}));
}

TEST_P(LaunchTest, UnpackingThatCannotRunResetsTheBoard) {
  Board board;
  const Boot r = run(board, {"--fault", "fail_system=cd /tmp"});
  EXPECT_EQ(r.status, kRebooted);
  EXPECT_EQ(r.out, "Booting image '1'\n");
  EXPECT_EQ(r.err, "Failed to gunzip Application OS.\n");
  EXPECT_EQ(board.commands(), (Lines{kMount, kUntar, kReboot}));
}

INSTANTIATE_TEST_SUITE_P(Targets, LaunchTest, ::testing::ValuesIn(kvzsim::targets()),
                         kvzsim::TargetName());

}  // namespace
