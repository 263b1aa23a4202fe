// The virtual board itself, proven with a stand-in launcher (the probe) that drives each
// emulated device through the same Linux interfaces as the launcher, on host and PowerPC.
#include <gtest/gtest.h>

#include "records.h"
#include "sim.h"

using namespace kvzsim;

namespace {

using kvztest::slice;

class BoardTest : public ::testing::TestWithParam<Target> {
 protected:
  // Boots the probe, feeds it the script line by line and returns the run.
  Boot probe(const Board& board, const std::string& script,
             const std::vector<std::string>& extra = {}) {
    return run_script(board, GetParam(), "kvzsim_probe", script, extra);
  }
};

TEST_P(BoardTest, MtdPartitionsHaveNorFlashSemantics) {
  Board board({"--blank"});
  const Boot r = probe(board,
                       "info kernel\n"
                       "info ubootenv\n"
                       "write kernel 16 f00f\n"
                       "write kernel 16 0ff0\n"  // bits only clear: f00f & 0ff0 = 0000
                       "read kernel 14 6\n"
                       "erase kernel 0 65536\n"  // back to 0xFF
                       "read kernel 16 2\n"
                       "erase kernel 16 65536\n"          // unaligned start
                       "erase kernel 0 100\n"             // unaligned length
                       "erase kernel 3080192 131072\n"    // past the end
                       "write kernel 3145726 aabbccdd\n"  // clamped at the end
                       "write kernel 3145728 aa\n"        // at the end
                       "read kernel 3145726 8\n");
  EXPECT_EQ(r.status, 3) << r.err;  // ended without reboot or application
  EXPECT_EQ(r.out,
            "size=3145728 erasesize=65536\n"
            "size=65536 erasesize=65536\n"
            "wrote=2\nwrote=2\nread=ffff0000ffff\nok\nread=ffff\n"
            "error=22\nerror=22\nerror=22\n"
            "wrote=2\nerror=28\nread=aabb\n");
  const Bytes kernel = board.read("flash/kernel");
  ASSERT_EQ(kernel.size(), 3145728u);
  EXPECT_EQ(slice(kernel, 3145726, 2), (Bytes{0xaa, 0xbb}));
  EXPECT_EQ(board.erase_counts("kernel").at(0), 1u);
  EXPECT_EQ(board.erase_counts("kernel").at(1), 0u);
  EXPECT_EQ(r.err, "");
}

TEST_P(BoardTest, MtdFaultsFireOnTheNthOperation) {
  Board board({"--blank"});
  board.configure("fail_mtd_read=2");
  board.configure("fail_mtd_erase=kernel:2");
  board.configure("fail_mtd_write=rfs:1");
  board.configure("short_mtd_write=kernel:2");
  board.configure("stuck_mtd_write=kernel:3");
  board.configure("fail_memgetinfo=1");
  const Boot r = probe(board,
                       "info kernel\n"
                       "read kernel 0 4\n"
                       "read kernel 0 4\n"  // 2nd read fails
                       "read kernel 0 4\n"
                       "erase rfs 0 65536\n"  // erases of other partitions do not count
                       "erase kernel 0 65536\n"
                       "erase kernel 0 65536\n"  // 2nd kernel erase fails
                       "write rfs 0 00\n"        // 1st rfs write fails
                       "write kernel 0 00\n"
                       "write kernel 4 00000000\n"  // short: half of it
                       "write kernel 8 00\n"        // stuck: reports success, changes nothing
                       "read kernel 0 12\n");
  EXPECT_EQ(r.out,
            "error=5\nread=ffffffff\nerror=5\nread=ffffffff\nok\nok\nerror=5\nerror=5\nwrote=1\n"
            "wrote=2\nwrote=1\nread=00ffffff0000ffffffffffff\n");
  EXPECT_EQ(board.erase_counts("kernel").at(0), 1u);
  EXPECT_EQ(board.erase_counts("rfs").at(0), 1u);
}

TEST_P(BoardTest, EepromAndRegisterDeviceAnswerWithTheirFiles) {
  Board board({"--blank"});
  const Boot r = probe(board,
                       "i2c 0 54 w 01000201\nwait 5\n"  // write 02 01 at 0x100
                       "i2c 0 54 w 0100\n"              // set the address
                       "i2c 0 54 r 3\n"
                       "i2c 0 54 w 001e414243\nwait 5\n"  // rolls over in the 32-byte page
                       "i2c 0 54 w 1fff\n"
                       "i2c 0 54 r 2\n"  // sequential read wraps at the end
                       "smbus 1 20 4\n"
                       "smbus 1 20 c f7\n"
                       "smbus 1 21 4\n"    // nobody at 0x21
                       "i2c 0 50 r 1\n"    // nobody at 0x50
                       "i2c 1 54 r 1\n");  // the EEPROM is on bus 0 only
  EXPECT_EQ(r.out,
            "wrote=4\nwrote=2\nread=0201ff\nwrote=5\nwrote=2\nread=ff43\n"
            "byte=0x0c\nbyte=0xf7\nerror=6\nerror=6\nerror=6\n");
  const Bytes vpd = board.read("eeprom/vpd.bin");
  EXPECT_EQ(slice(vpd, 0x100, 2), (Bytes{0x02, 0x01}));
  EXPECT_EQ(slice(vpd, 0x1e, 2), (Bytes{0x41, 0x42}));
  EXPECT_EQ(vpd.at(0x00), 0x43);  // the third byte wrapped to the page start
  EXPECT_EQ(board.read("eeprom/regs.bin").at(12), 0xf7);
  const std::vector<std::string> expected_log = {"i2c-0 0x54 write 01 00 02 01",
                                                 "i2c-0 0x54 write 01 00",
                                                 "i2c-0 0x54 read 02 01 ff",
                                                 "i2c-0 0x54 write 00 1e 41 42 43",
                                                 "i2c-0 0x54 write 1f ff",
                                                 "i2c-0 0x54 read ff 43",
                                                 "i2c-1 0x20 smbus-read reg 0x04 = 0x0c",
                                                 "i2c-1 0x20 smbus-write reg 0x0c = 0xf7",
                                                 "i2c-1 0x21 smbus-read reg 0x04 nak",
                                                 "i2c-0 0x50 read 1 nak",
                                                 "i2c-1 0x54 read 1 nak"};
  EXPECT_EQ(board.i2c_log(), expected_log);
}

TEST_P(BoardTest, MissingDevicesDoNotAnswer) {
  Board board({"--blank"});
  board.remove("eeprom/vpd.bin");
  board.remove("eeprom/regs.bin");
  board.configure("bus_missing=1");
  const Boot r = probe(board, "i2c 0 54 w 0100\ni2c 0 54 r 1\nsmbus 1 20 4\n");
  EXPECT_EQ(r.out, "error=6\nerror=6\nopen error=2\n");
  Board silent({"--blank"});
  const Boot s = probe(silent, "i2c 0 54 r 1\n", {"--fault", "eeprom_silent=1"});
  EXPECT_EQ(s.out, "error=6\n");
}

TEST_P(BoardTest, TimeRunsFasterByTheScale) {
  Board board({"--blank"});
  const Boot r = probe(board, "sleep 2\nusleep 1000000\npoll 2000\nclock 3\n");
  // 2 s of board time at x20 is 100 ms of real time.
  int sleep_ms = -1, usleep_ms = -1, poll_ms = -1, board_ms = -1;
  ASSERT_EQ(sscanf(r.out.c_str(), "real_ms=%d\nreal_ms=%d\nreal_ms=%d\nboard_ms=%d", &sleep_ms,
                   &usleep_ms, &poll_ms, &board_ms),
            4)
      << r.out;
  EXPECT_GE(sleep_ms, 95);
  EXPECT_LT(sleep_ms, 1000);
  EXPECT_GE(usleep_ms, 45);
  EXPECT_LT(usleep_ms, 500);
  EXPECT_GE(poll_ms, 95);
  EXPECT_LT(poll_ms, 1000);
  EXPECT_GE(board_ms, 3000);  // the board's own clock sees the full length
  EXPECT_LT(board_ms, 6000);
}

TEST_P(BoardTest, ConsoleKeysAndInterruptKey) {
  Board board({"--blank"});
  Console c(board, GetParam(), {"--launcher", bin_for(GetParam()) + "/kvzsim_probe"});
  c.send("getc\n");
  ASSERT_TRUE(c.wait_for("", 1));
  usleep(300000);  // the probe is now waiting in raw mode
  c.send("x");
  ASSERT_TRUE(c.wait_for("key=120 n=1 interrupted=0\n"));
  c.send("getc\n");
  usleep(300000);
  c.ctrl_c();
  ASSERT_TRUE(c.wait_for("key=0 n=-1 interrupted=1\n"));
  c.send("exit 0\n");
  EXPECT_EQ(c.finish().status, 3);
}

TEST_P(BoardTest, CommandsOfTheLauncherAreLoggedExactly) {
  Board board({"--blank"});
  const Boot r = probe(board,
                       "system echo one\n"
                       "system sh -c 'echo two'\n"  // the child's own commands are not logged
                       "system cd /tmp \\necho three\n"
                       "exec /bin/backtrace\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "one\nstatus=0\ntwo\nstatus=0\nthree\nstatus=0\n");
  const std::vector<std::string> expected = {"echo one", "sh -c 'echo two'",
                                             "cd /tmp \\necho three", "exec /bin/backtrace"};
  EXPECT_EQ(board.commands(), expected);
  EXPECT_EQ(r.err, "backtrace: no application at /tmp/home/bin/mp.elf.strip\n");
}

TEST_P(BoardTest, ExitStatusTellsHowTheRunEnded) {
  Board board({"--blank"});
  EXPECT_EQ(probe(board, "system reboot\nexit 0\n").status, 1);
  EXPECT_EQ(probe(board, "exit 0\n").status, 3);
  EXPECT_EQ(probe(board, "exit 1\n").status, 3);
  EXPECT_EQ(probe(board, "exec /bin/no-such-program\nexit 0\n").status, 3);
  // A shell command can be made to fail to start.
  const Boot r = probe(board, "system reboot\nexit 0\n", {"--fault", "fail_system=reboot"});
  EXPECT_EQ(r.out, "status=-1\n");
  EXPECT_EQ(r.status, 3);
}

TEST_P(BoardTest, PowerCutAfterTheNthFlashWriteKeepsWhatWasWritten) {
  Board board({"--blank"});
  const Boot r = probe(board, "write kernel 0 00\nwrite kernel 1 00\nwrite kernel 2 00\n",
                       {"--fault", "power_cut_flash_write=2"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "wrote=1\n");  // the second write landed, then the power went
  EXPECT_EQ(slice(board.read("flash/kernel"), 0, 3), (Bytes{0x00, 0x00, 0xff}));
  // The next boot sees the flash as the cut left it.
  const Boot next = probe(board, "read kernel 0 3\n");
  EXPECT_EQ(next.out, "read=0000ff\n");
}

TEST_P(BoardTest, PowerCutAfterTheNthUserWriteCountsChildren) {
  Board board({"--blank"});
  const Boot r = probe(board,
                       "userwrite /user/a one\n"
                       "system echo two > /user/b; echo three > /user/c\n"
                       "userwrite /user/d four\n",
                       {"--fault", "power_cut_user_write=2"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(board.text("user/a"), "one");
  EXPECT_EQ(board.text("user/b"), "two\n");
  EXPECT_FALSE(board.exists("user/c"));
  EXPECT_FALSE(board.exists("user/d"));
}

TEST_P(BoardTest, UsbStickAppearsWithItsReadyMarker) {
  Board board({"--blank"});
  board.write_text("usb/QVM7314_OS.img", "stick");
  // The platform announces the stick a little after power-on (2 s of board time).
  Boot r = probe(board, "system ls /mnt/usb /tmp\nsleep 3\nsystem ls /tmp\n", {"--usb"});
  const std::string before = "/mnt/usb:\nQVM7314_OS.img\n\n/tmp:\nstatus=0\nreal_ms=";
  const std::string after = "\nusb\nstatus=0\n";
  ASSERT_GT(r.out.size(), before.size() + after.size()) << r.out;
  EXPECT_EQ(r.out.substr(0, before.size()), before);
  EXPECT_EQ(r.out.substr(r.out.size() - after.size()), after);
  r = probe(board, "system ls /mnt/usb\n");
  EXPECT_EQ(r.out, "status=0\n");  // no stick: an empty mount point
}

TEST_P(BoardTest, SerialLineCarriesAnXmodemTransfer) {
  Board board({"--blank"});
  Bytes payload(5000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  board.write("usb/send.bin", payload);
  Console c(board, GetParam(), {"--launcher", bin_for(GetParam()) + "/kvzsim_probe"});
  // The board's receiver works on /dev/ttyS0, the line that carries the console on the switch.
  c.send("system /usr/bin/rx /tmp/got\n");
  usleep(500000);
  EXPECT_EQ(c.send_xmodem(board.path("usb/send.bin")), 0);
  ASSERT_TRUE(c.wait_for("status=0\n"));
  c.send("exit 0\n");
  c.finish();
  Bytes got = board.read("tmp/got");
  ASSERT_GE(got.size(), payload.size());  // XMODEM pads the last block
  got.resize(payload.size());
  EXPECT_EQ(got, payload);
}

INSTANTIATE_TEST_SUITE_P(Targets, BoardTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
