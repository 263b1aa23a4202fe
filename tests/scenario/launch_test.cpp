// How the unpacked application is started: the boot options' modes and their precedence, the
// debugger fetched from the other slot, the question about an incompatible archive, and the
// board reset that ends every mode which does not replace the launcher.
#include "boot_fixture.h"

using namespace boottest;

namespace {

class LaunchTest : public BootTest {};

const std::string kBooting = "Booting image '1'\n", kApp1 = app_says("1.1.0.0");
const std::string kRunUnderGdb = "/tmp/gdb /tmp/home/bin/mp.elf.strip";
const std::string kDumaLoaded = "DUMA (virtual board stand-in) loaded\n";
const std::string kServerWaits =
    "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port ";
const std::string kIncompatible =
    "WARNING: Suspected incompatible application image detected during unpacking\n"
    "Would you like to enter recovery mode to download a new image? y/N: ";
// The debugger stand-in: says what it was asked to debug, then runs it.
const std::string kGdbScript = "#!/bin/sh\necho \"gdb stand-in debugging $1\"\nexec \"$1\"\n";

Prepare env(
    const Lines& vars, Prepare then = [](const Board&) {}) {
  return [=](const Board& b) {
    b.set_env(vars);
    then(b);
  };
}

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
       .setup =
           env({"shell=on"}, [](const Board& b) { b.write(kImage1, diags_record("2.0.0.0")); }),
       .dialog = {Exchange{"Dropping into shell\n", "echo operator was here\nexit\n"}},
       .want = {kRanApplication,
                kBooting + "install diags image\nDropping into shell\noperator was here\n" +
                    "Dropping out of shell\n" + diags_says("2.0.0.0"),
                "", Lines{kMount, kUntar, kMkdirDiags, kMoveDiags, kShell, kExec},
                "echo operator was here\r\nexit\r\n"}},
      // The memory checker goes only with the debugging server: under the debugger it is left
      // out.
      {.what = "debugger from the other slot",
       .setup = env({"memchk=on", "gdb=on"}, install_gdb),
       .want = {kRebooted, kBooting + found_gdb + kApp1, "", under_gdb},
       .check = gdb_fetched},
      // Without a usable debugger in the other slot the application starts normally: its first
      // record is no payload that could be one, or its file is missing.
      {.what = "no debugger in the other slot",
       .setup = env(
           {"gdb=on"},
           [](const Board& b) {
             b.set_vpd(kSelectedSlot, 2);
             b.write(kImage1, concat({other_record(kMagicBootLoader, 512), app_record("9.9.9.9")}));
           }),
       .want = {kRanApplication,
                "Booting image '2'\nExtracting GDB from image slot 1" + no_gdb +
                    app_says("1.0.0.0"),
                "Image has invalid header 0x24b565a\n", Lines{kMount, kUntar, kExec}},
       .check = [](const Board& b) { EXPECT_FALSE(b.exists("tmp/gdb")); }},
      {.what = "no other slot file",
       .setup = env({"gdb=on"}, [](const Board& b) { b.remove(kImage2); }),
       .want = {kRanApplication, kBooting + "Extracting GDB from image slot 2" + no_gdb + kApp1,
                "Failed to open GDB image (from slot 2)\n", Lines{kMount, kUntar, kExec}}},
      // The server outranks the debugger (none is fetched) and listens on the port given.
      {.what = "debugging server",
       .setup = env({"gdb=on", "gdbserver=on", "gdbport=2345"}, install_gdb),
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
       .setup = env({"shell=on"}, install_suspect),
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
       .setup =
           [](const Board& b) {
             flip_byte(b, kImage1, 40);
             flip_byte(b, kImage2, 40);
           },
       .options = {"--fault", "fail_system=reboot"},
       .want = {kOtherEnd, kBooting + "Booting image '2'\n",
                "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"
                "System reboot failed, please power-cycle.\n",
                Lines{kMount, kReboot}}},
  });
}

INSTANTIATE_TEST_SUITE_P(Targets, LaunchTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
