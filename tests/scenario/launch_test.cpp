// How the unpacked application is started: the boot options' modes and their precedence, the
// debugger fetched from the other slot, the question about an incompatible archive, and the
// board reset that ends every mode which does not replace the launcher.
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
// application record.
void install_gdb(const Board& board, const std::string& slot_file, const Bytes& gdb) {
  board.write(slot_file,
              concat({make_record(kMagicApplication, 0x07000000, gdb), app_record("1.0.0.0")}));
}

// An application record whose archive lacks home/bin/distro-id: a suspect one.
Bytes suspect_record() {
  return make_record(kMagicApplication, 0x01000000, kvzsim::app_archive("5.0.0.0", false));
}

class LaunchTest : public BootTest {};

const std::string kApp1 = kvzsim::app_says("1.1.0.0");
const std::string kServerWaits =
    "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port ";

// The shell reads the console: what it is told to do shows up on standard output.
TEST_P(LaunchTest, ShellOptionGivesTheShellBeforeTheApplication) {
  Board board;
  board.set_env({"shell=on"});
  Console c(board, GetParam());
  ASSERT_TRUE(c.wait_for("Dropping into shell\n"));
  c.send("echo operator was here\nexit\n");
  expect_run(
      c.finish(), board, kRanApplication,
      "Booting image '1'\nDropping into shell\noperator was here\nDropping out of shell\n" + kApp1,
      "", {kMount, kUntar, kShell, kExec});
}

TEST_P(LaunchTest, DiagnosticsAreInstalledBeforeTheShell) {
  Board board;
  board.set_env({"shell=on"});
  board.write(kImage1, diags_record("2.0.0.0"));
  expect_run(
      kvzsim::boot_closed_console(board, GetParam()), board, kRanApplication,
      "Booting image '1'\ninstall diags image\nDropping into shell\nDropping out of shell\n" +
          kvzsim::diags_says("2.0.0.0"),
      "", {kMount, kUntar, kMkdirDiags, kMoveDiags, kShell, kExec});
}

// The memory checker goes only with the debugging server: under the debugger it is left out.
TEST_P(LaunchTest, GdbOptionRunsTheApplicationUnderTheOtherSlotsDebugger) {
  const Bytes gdb = kvzsim::gzip_bytes(kvztest::bytes_of(kGdbScript));
  for (const Lines& env : {Lines{"gdb=on"}, Lines{"memchk=on", "gdb=on"}}) {
    SCOPED_TRACE(env.front());
    Board board;
    board.set_env(env);
    install_gdb(board, kImage2, gdb);
    expect_run(
        run(board), board, kRebooted,
        "Booting image '1'\nExtracting GDB from image slot 2\nFound GDB image 2 of length = " +
            std::to_string(gdb.size()) +
            ".\ndecompressing GDB....\n*** Launching under GDB ***\n"
            "gdb stand-in debugging /tmp/home/bin/mp.elf.strip\n" +
            kApp1,
        "", {kMount, kGunzipGdb, kChmodGdb, kUntar, kRunUnderGdb, kReboot});
    EXPECT_EQ(board.text("tmp/gdb"), kGdbScript);
    EXPECT_EQ(board.vpd(kBootedSlot), 1);
  }
}

// Without a usable debugger in the other slot the application starts normally: the other slot's
// first record is no payload that could be one, or its file is missing.
TEST_P(LaunchTest, GdbOptionWithoutUsableDebuggerStartsNormally) {
  struct Case {
    uint8_t selected;
    const char* err;
  };
  for (const Case c : {Case{2, "Image has invalid header 0x24b565a\n"},
                       Case{1, "Failed to open GDB image (from slot 2)\n"}}) {
    SCOPED_TRACE(c.selected);
    Board board;
    board.set_env({"gdb=on"});
    board.set_vpd(kSelectedSlot, c.selected);
    if (c.selected == 2)
      board.write(kImage1, concat({other_record(kMagicBootLoader, 512), app_record("9.9.9.9")}));
    else
      board.remove(kImage2);
    expect_run(
        run(board), board, kRanApplication,
        "Booting image '" + std::to_string(c.selected) + "'\nExtracting GDB from image slot " +
            std::to_string(3 - c.selected) +
            "\n**** GDB mode selected but GDB not available. Please install GDB image ***\n" +
            kvzsim::app_says(c.selected == 1 ? "1.1.0.0" : "1.0.0.0"),
        c.err, {kMount, kUntar, kExec});
    EXPECT_FALSE(board.exists("tmp/gdb"));
    EXPECT_EQ(board.vpd(kBootedSlot), c.selected);
  }
}

// The server outranks the debugger (no debugger is fetched) and listens on the port given.
TEST_P(LaunchTest, GdbServerOptionRunsTheServerOnItsPort) {
  Board board;
  board.set_env({"gdb=on", "gdbserver=on", "gdbport=2345"});
  install_gdb(board, kImage2, kvzsim::gzip_bytes(kvztest::bytes_of(kGdbScript)));
  expect_run(run(board), board, kRebooted, "Booting image '1'\n" + kServerWaits + "2345\n", "",
             {kMount, kUntar, "/bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\\n", kReboot});
  EXPECT_FALSE(board.exists("tmp/gdb.gz"));
}

TEST_P(LaunchTest, GdbServerWithMemoryCheckerPreloadsTheChecker) {
  Board board;
  board.set_env({"gdbserver=on", "memchk=on"});
  expect_run(
      run(board), board, kRebooted, "Booting image '1'\n" + kServerWaits + "1234\n", kDumaLoaded,
      {kMount, kUntar,
       "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n", kReboot});
}

TEST_P(LaunchTest, MemoryCheckerAloneRunsTheApplicationWithTheChecker) {
  Board board;
  board.set_env({"memchk=on"});
  expect_run(
      run(board), board, kRebooted, "Booting image '1'\n" + kApp1, kDumaLoaded,
      {kMount, kUntar, "LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\\n", kReboot});
}

// An archive without home/bin/distro-id is suspect; only y or Y enters the rescue menu, and
// the start goes ahead whatever the answer (the menu's Exit included). The key is read without
// echo: nothing comes back on the terminal.
TEST_P(LaunchTest, IncompatibleArchiveAsksWhetherToEnterRecovery) {
  for (const std::string keys : {"y", "\x03"}) {
    SCOPED_TRACE(keys);
    Board board;
    board.write(kImage1, suspect_record());
    std::string echo;
    const Boot r = answer(board, kIncompatible, keys, &echo);
    EXPECT_EQ(echo, "");
    expect_run(r, board, kRanApplication,
               "Booting image '1'\n" + kIncompatible + kvzsim::app_says("5.0.0.0"), "",
               {kMount, kUntar, kExec});
  }
}

// The key is taken without echo, and the console is given back as it was: the shell that follows
// reads lines with the terminal's own echo again.
TEST_P(LaunchTest, KeyQuestionLeavesTheConsoleAsItWas) {
  Board board;
  board.set_env({"shell=on"});
  board.write(kImage1, suspect_record());
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
  board.write(kImage1, suspect_record());
  expect_run(kvzsim::boot_closed_console(board, GetParam(), {}, 20, 60), board, kRanApplication,
             "Booting image '1'\n" + kIncompatible + kvzsim::app_says("5.0.0.0"), "",
             {kMount, kUntar, kExec});
}

TEST_P(LaunchTest, RebootThatCannotRunAsksForAPowerCycle) {
  Board board;
  flip_byte(board, kImage1, 40);
  flip_byte(board, kImage2, 40);
  // The run ends without the reboot.
  expect_run(run(board, {"--fault", "fail_system=reboot"}), board, kOtherEnd,
             "Booting image '1'\nBooting image '2'\n",
             "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
             "System reboot failed, please power-cycle.\n",
             {kMount, kReboot});
}

TEST_P(LaunchTest, UnpackingThatCannotRunResetsTheBoard) {
  Board board;
  expect_run(run(board, {"--fault", "fail_system=cd /tmp"}), board, kRebooted,
             "Booting image '1'\n", "Failed to gunzip Application OS.\n",
             {kMount, kUntar, kReboot});
}

INSTANTIATE_TEST_SUITE_P(Targets, LaunchTest, ::testing::ValuesIn(kvzsim::targets()),
                         kvzsim::TargetName());

}  // namespace
