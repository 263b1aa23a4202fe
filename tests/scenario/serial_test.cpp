// The serial line hand-over on the virtual board's /dev/ttyS0: the line switches to download
// settings and back, the waits for Enter and their reminders, on host and PowerPC.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "sim.h"

using namespace kvzsim;

namespace {

class SerialTest : public ::testing::TestWithParam<Target> {};

void send_serial(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// A console line as the switch has it before a download: 9600 bps, two stop bits, line editing,
// CR to LF. (A pseudo-terminal always keeps 8 data bits without parity.)
struct termios console_settings(int fd) {
  struct termios t;
  tcgetattr(fd, &t);
  t.c_iflag = ICRNL | IXON | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | CSTOPB | CREAD | CLOCAL | HUPCL;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return t;
}

TEST_P(SerialTest, LineIsHandedOverAndBack) {
  Board board({"--blank"});
  Console c(board, GetParam(), {"--launcher", bin_for(GetParam()) + "/kvzsim_storage"});
  const int line = c.serial_fd();
  struct termios before = console_settings(line);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(line, &before), 0);  // as the line took them

  c.send("serial_init\n");
  ASSERT_TRUE(
      c.wait_for("       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                 "       before initiating the download.\n"));
  usleep(100000);
  struct termios dl;
  tcgetattr(line, &dl);
  EXPECT_EQ(cfgetospeed(&dl), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&dl), static_cast<speed_t>(B115200));
  EXPECT_EQ(dl.c_iflag, static_cast<tcflag_t>(IGNBRK));
  EXPECT_EQ(dl.c_oflag, 0u);
  EXPECT_EQ(dl.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(dl.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));
  EXPECT_EQ(dl.c_lflag, static_cast<tcflag_t>(ECHOK | IEXTEN));
  EXPECT_EQ(0, memcmp(dl.c_cc, before.c_cc, sizeof dl.c_cc));

  // A key that is not Enter is dropped; after 11 s of board time the operator is reminded.
  send_serial(line, "x\n");
  ASSERT_TRUE(c.wait_for(
      "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"));
  send_serial(line, "\r");
  ASSERT_TRUE(c.wait_for("init_serial=ok\n"));

  c.send("serial_reset\n");
  ASSERT_TRUE(c.wait_for("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"));
  ASSERT_TRUE(c.wait_for("\r\n    ... Waiting for the <ENTER> key to be hit...\r\n"));
  send_serial(line, "\r");  // the restored settings turn the Enter key's CR into LF
  ASSERT_TRUE(c.wait_for("reset_serial=done\n"));
  struct termios after;
  tcgetattr(line, &after);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(0, memcmp(after.c_cc, before.c_cc, sizeof after.c_cc));
  c.send("\x04");
  const Boot b = c.finish();
  EXPECT_EQ(b.err, "");
  EXPECT_EQ(b.out,
            "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
            "       before initiating the download.\n"
            "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
            "init_serial=ok\n"
            "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
            "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n"
            "reset_serial=done\n");
}

TEST_P(SerialTest, MissingLineIsReportedAndNotWaitedOn) {
  Board board({"--blank"});
  // A board without a serial line: nothing is printed before the report, and nothing waits.
  Console c(board, GetParam(),
            {"--launcher", bin_for(GetParam()) + "/kvzsim_storage", "--serial", "none"});
  c.send("serial_init\nserial_reset\n\x04");
  const Boot b = c.finish(30);
  EXPECT_EQ(b.out, "init_serial=-1\nreset_serial=done\n");
  EXPECT_EQ(b.err, "Can't open serial port!: No such file or directory\n");
}

INSTANTIATE_TEST_SUITE_P(Targets, SerialTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
