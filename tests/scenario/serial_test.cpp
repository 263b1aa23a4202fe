// The serial line hand-over on the virtual board's /dev/ttyS0: the line switches to download
// settings and back, the waits for Enter and their reminders, on host and PowerPC.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <tuple>

#include "sim.h"

using namespace kvzsim;

namespace {

class SerialTest : public ::testing::TestWithParam<Target> {};

auto settings(int line) {
  termios t;
  tcgetattr(line, &t);
  return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t),
                         cfgetospeed(&t), std::string(t.c_cc, t.c_cc + NCCS));
}

// From a console line as the switch has it (9600 bps, two stop bits, line editing, CR to LF) to
// 115200 bps 8N1 raw with the modem control and control characters kept, and back exactly. A key
// that is not Enter is dropped, and after 11 s of board time the operator is reminded. Without a
// serial line nothing is waited for.
TEST_P(SerialTest, LineIsHandedOverAndBack) {
  Board board({"--blank"});
  Console c(board, GetParam(), {"--launcher", bin_for(GetParam()) + "/kvzsim_storage"});
  const int line = c.serial_fd();
  termios t;
  tcgetattr(line, &t);
  t.c_iflag = ICRNL | IXON | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | CSTOPB | CREAD | CLOCAL | HUPCL;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  cfsetspeed(&t, B9600);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);
  const auto before = settings(line);
  tcgetattr(line, &t);  // as the (pseudo-terminal) line took them
  t.c_iflag = IGNBRK;
  t.c_oflag = 0;
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  t.c_lflag = ECHOK | IEXTEN;
  cfsetspeed(&t, B115200);
  c.send("serial_init\n");
  ASSERT_TRUE(c.wait_for("before initiating the download.\n"));
  usleep(100000);
  const auto during = settings(line);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);
  EXPECT_EQ(during, settings(line));
  ASSERT_EQ(write(line, "x\n", 2), 2);
  ASSERT_TRUE(c.wait_for("download can start...\r\n"));
  ASSERT_EQ(write(line, "\r", 1), 1);
  ASSERT_TRUE(c.wait_for("init_serial=ok\n"));
  c.send("serial_reset\n");
  ASSERT_TRUE(c.wait_for("to be hit...\r\n"));
  ASSERT_EQ(write(line, "\r", 1), 1);  // the restored settings turn the Enter key's CR into LF
  ASSERT_TRUE(c.wait_for("reset_serial=done\n"));
  EXPECT_EQ(settings(line), before);
  c.send("\x04");
  const Boot b = c.finish();
  EXPECT_EQ(b.out + b.err,
            "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
            "       before initiating the download.\n"
            "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
            "init_serial=ok\n"
            "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
            "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n"
            "reset_serial=done\n");
  const Boot none = run_script(board, GetParam(), "kvzsim_storage", "serial_init\nserial_reset\n",
                               {"--serial", "none"});
  EXPECT_EQ(none.out, "init_serial=-1\nreset_serial=done\n");
  EXPECT_EQ(none.err, "Can't open serial port!: No such file or directory\n");
}

INSTANTIATE_TEST_SUITE_P(Targets, SerialTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
