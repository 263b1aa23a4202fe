// kvzrx on the virtual board: lrzsz's sx, and a scripted sender for what sx never does, on the
// far end of the board's serial line; the file, the replies on the line, the exit status.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "sim.h"

using namespace kvzsim;

namespace {

const std::string kAck = "\x06", kNak = "\x15", kEot = "\x04", kCan5(5, '\x18'),
                  kBack = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";

// Reads the receiver's reply of want's length, polling 20 ms at a time; the 'C's it repeats while
// waiting for a first block are dropped unless a 'C' is the reply wanted.
std::string reply(int fd, const std::string& want, double seconds = 20) {
  std::string got;
  for (int i = 0; got.size() < want.size() && i < seconds * 50; i++) {
    pollfd p{fd, POLLIN, 0};
    char c;
    if (poll(&p, 1, 20) == 1 && read(fd, &c, 1) == 1 && (c != 'C' || want == "C")) got += c;
  }
  return got;
}

void send_line(int fd, const std::string& b) {
  EXPECT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

// Boots kvzrx into path and presses Enter at the new speed until the receiver asks for the
// first block or hands the line back (a key sent while the line is switched is discarded).
struct Rx {
  Board board{{"--blank"}};
  std::string path;
  Console c;
  bool back = false;  // the line was handed back
  explicit Rx(Target t, const std::string& file = "/user/x.bin")
      : path(file), c(board, t, {"--launcher", bin_for(t) + "/kvzrx", "--", file}, 5) {
    EXPECT_TRUE(c.wait_for("       before initiating the download.\n"));
    for (int i = 0; i < 50; i++) {
      send_line(c.serial_fd(), "\r");
      if (reply(c.serial_fd(), "C", 0.3) == "C" || (back = c.wait_for(kBack, 0.05))) return;
    }
    ADD_FAILURE() << "the receiver never asked for a block";
  }
  // Hands the line back and checks the exit status, the file, and the console.
  void end(int status, const std::string& file, const std::string& err) {
    if (!back) c.wait_for(kBack);
    for (int i = 0; i < 2; i++, usleep(200000)) send_line(c.serial_fd(), "\n");
    const Boot b = c.finish();
    EXPECT_EQ(board.exit_status(), status);
    EXPECT_EQ(board.text("user/x.bin"), file);
    EXPECT_EQ(b.err, err);
    const std::string done = std::to_string(file.size()) + " bytes received into " + path + "\n";
    EXPECT_EQ(b.out,
              "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
              "       before initiating the download.\n" +
                  kBack + (status == 0 ? done : ""));
  }
};

class XmodemTest : public ::testing::TestWithParam<Target> {};

// sx -k (1024-byte blocks), plain sx (128, numbers wrapping past 255); ^Z pads the last block.
TEST_P(XmodemTest, LrzszSendsFilesOfAwkwardSizes) {
  for (const auto& [option, size, blocks] :
       {std::tuple{"-k", 1, 128}, {"-k", 5000, 5120}, {"-b", 33000, 33024}}) {
    Rx rx(GetParam());
    std::string data;
    for (int i = 0; i < size; i++) data += static_cast<char>(i * 7 + i / 256);
    rx.board.write_text("usb/data", data);
    EXPECT_EQ(rx.c.send_xmodem(rx.board.path("usb/data"), 120, option), 0);
    rx.end(0, data + std::string(static_cast<size_t>(blocks - size), '\x1A'), "EOT\nAll done\n");
  }
}

std::string frame(int num, size_t size, char fill, bool bad_crc = false) {
  const std::string data(size, fill);
  unsigned crc = 0;
  for (unsigned char ch : data) {
    crc ^= ch << 8;
    for (int bit = 0; bit < 8; bit++) crc = (crc << 1) ^ ((crc & 0x8000) ? 0x1021 : 0);
  }
  crc ^= bad_crc ? 1 : 0;
  const char head[] = {size == 128 ? '\x01' : '\x02', static_cast<char>(num),
                       static_cast<char>(255 - num), 0};
  return head + data + static_cast<char>(crc >> 8) + static_cast<char>(crc);
}

// One transfer from a scripted sender: the bytes of each step, each followed by its reply.
struct Script {
  std::vector<std::string> steps;
  int status;
  std::string file, err, path = "/user/x.bin";
};

TEST_P(XmodemTest, ScriptedSenders) {
  const std::string a(128, 'a'), b(1024, 'b'), c(128, 'c');
  // clang-format off
  const Script scripts[] = {
      // Mixed sizes, a repeat after a lost ACK, a CRC error and its good copy, EOT then silence.
      {{frame(1, 128, 'a'), kAck, frame(2, 1024, 'b'), kAck, frame(2, 1024, 'b'), kAck,
        frame(3, 128, 'c', true), kNak, frame(3, 128, 'c'), kAck, kEot, kNak, "", kAck},
       0, a + b + c, "EOT\nAll done\n"},
      // Two CAN before the first block do not end it; three bad copies of a block do.
      {{"\x18\x18", "C", frame(1, 128, 'a'), kAck, frame(2, 128, 'b', true), kNak,
        frame(2, 128, 'b', true), kNak, frame(2, 128, 'b', true), kCan5}, 1, a, "CAN\n"},
      // After a block, each damaged exchange is answered NAK (number and complement disagree, a
      // block without data, a byte after EOT other than EOT), and the third in a row cancels.
      {{frame(1, 128, 'a'), kAck, "\x01\x02\x02", kNak, "\x01\x02\xfd", kNak, kEot, kNak, "x",
        kCan5}, 1, a, "EOT\n"},
      // Block 0 at the start is refused, block 2 cancels.
      {{frame(0, 128, 'z'), "C", frame(2, 128, 'b'), kCan5}, 1, "", ""},
      // EOT before any block: an empty file.
      {{kEot, kNak, kEot, kAck}, 0, "", "EOT\nAll done\n"},
      // A block that cannot be written is not acknowledged: the transfer is cancelled.
      {{frame(1, 128, 'a'), kCan5}, 1, "", "Can't write file!: No space left on device\n",
       "/dev/full"},
      {{}, 2, "", "Can't open file!: No such file or directory\n", "/none/x.bin"},
  };
  // clang-format on
  for (const Script& s : scripts) {
    Rx rx(GetParam(), s.path);
    for (size_t i = 0; i < s.steps.size(); i += 2) {
      send_line(rx.c.serial_fd(), s.steps[i]);
      EXPECT_EQ(reply(rx.c.serial_fd(), s.steps[i + 1]), s.steps[i + 1]) << "step " << i / 2;
    }
    rx.end(s.status, s.file, s.err);
  }
}

// Without a serial line there is nothing to receive on: no instructions, no wait. More than one
// file is a usage error.
TEST_P(XmodemTest, NoLine) {
  Board board({"--blank"});
  const Boot b = run_script(board, GetParam(), "kvzrx", "", {"--serial", "none"});
  EXPECT_EQ(b.out, "");
  EXPECT_EQ(b.err, "Can't open serial port!: No such file or directory\n");
  EXPECT_EQ(board.exit_status(), 2);
  board.clear_logs();
  const Boot usage = run_script(board, GetParam(), "kvzrx", "", {"--", "a", "b"});
  EXPECT_EQ(usage.out + usage.err, "usage: kvzrx [FILE]\n");
  EXPECT_EQ(board.exit_status(), 2);
}

INSTANTIATE_TEST_SUITE_P(Targets, XmodemTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
