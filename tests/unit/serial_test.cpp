// The serial hand-over. The machine's own /dev/ttyS0 is never touched: the cases run in a child
// process with a private mount table, where /dev/ttyS0 is hidden or replaced by a
// pseudo-terminal that plays the operator's terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "xmodem.h"

namespace {

constexpr int kNoPrivateMounts = 77;

const char kInstructions[] =
    "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
    "       before initiating the download.\n";
const char kBackInstruction[] =
    "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";

// Runs body in a child with standard output and error sent to out and err; with private_mounts
// the child's mount table is its own, so that body may change /dev there. The child exits with
// body's result, or kNoPrivateMounts when it could not have a mount table of its own.
pid_t spawn_child(int out, int err, bool private_mounts, const std::function<int()>& body) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (private_mounts && (unshare(CLONE_NEWNS) != 0 ||
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
    _exit(kNoPrivateMounts);
  dup2(out, 1);
  dup2(err, 2);
  _exit(body());
}

// The child's exit status; a child still running after the limit is killed and counts as -1.
// pid is cleared once the child is reaped.
int child_status(pid_t& pid, int limit_ms) {
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= limit_ms) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      pid = -1;
      return -1;
    }
    usleep(10000);
  }
  pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string file_text(FILE* f) {
  std::string s;
  char chunk[512];
  rewind(f);
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) s.append(chunk, n);
  return s;
}

// Reads fd into got until got holds want or the time is up.
bool read_until(int fd, std::string& got, const std::string& want, int limit_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (got.find(want) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    struct pollfd pfd = {fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) != 1) return false;
    char chunk[256];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    got.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

TEST(SerialHandOver, ResetWithoutALineReturnsAtOnceSilently) {
  FILE* out = tmpfile();
  fflush(stdout);
  const int saved = dup(1);
  dup2(fileno(out), 1);
  alarm(5);  // a wait here would never end; let the alarm end the test instead
  reset_serial(-1);
  alarm(0);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(file_text(out), "");
  fclose(out);
}

TEST(SerialHandOver, MissingLineIsReportedAndNothingElse) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  // Where the machine has a /dev/ttyS0 it is hidden under an empty /dev of the child's own.
  const bool absent = access("/dev/ttyS0", F_OK) != 0;
  pid_t pid = spawn_child(fileno(out), fileno(err), !absent, [absent] {
    if (!absent && mount("none", "/dev", "tmpfs", 0, nullptr) != 0) return kNoPrivateMounts;
    const int fd = init_serial();
    fflush(stdout);
    return fd == -1 ? 0 : 1;
  });
  ASSERT_GT(pid, 0);
  const int status = child_status(pid, 5000);
  if (status == kNoPrivateMounts) GTEST_SKIP() << "no private mount table to hide /dev/ttyS0 in";
  EXPECT_EQ(status, 0) << "init_serial must return -1 at once";
  EXPECT_EQ(file_text(out), "");
  EXPECT_EQ(file_text(err), "Can't open serial port!: No such file or directory\n");
  fclose(out);
  fclose(err);
}

// A pseudo-terminal set up like the console line: 9600 bps, 7E2, cooked input and output.
class SerialOnTerminal : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_path_ = ptsname(master_);
    slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);  // keeps the settings alive
    ASSERT_GE(slave_, 0);
    struct termios t {};
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CREAD |
                CLOCAL | HUPCL;
    t.c_iflag = ICRNL | IXON | BRKINT | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ISIG | ECHO | ECHOE | ECHOK | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
    ASSERT_EQ(tcgetattr(slave_, &console_), 0);
    ASSERT_EQ(pipe(out_), 0);
  }
  void TearDown() override {
    if (child_ > 0) child_status(child_, 0);  // a child left waiting after a failed check
    close(out_[0]);
    close(out_[1]);
    close(slave_);
    close(master_);
  }

  // The line's settings, as seen from the operator's end, once pred holds for them.
  bool settings_when(const std::function<bool(const termios&)>& pred, struct termios* t) {
    for (int i = 0; i < 500; i++) {
      if (tcgetattr(master_, t) == 0 && pred(*t)) return true;
      usleep(10000);
    }
    return false;
  }
  void type(const char* keys) {
    ASSERT_EQ(write(master_, keys, strlen(keys)), static_cast<ssize_t>(strlen(keys)));
  }

  pid_t child_ = -1;
  int master_ = -1;
  int slave_ = -1;
  int out_[2] = {-1, -1};
  std::string slave_path_;
  struct termios console_ {};
};

TEST_F(SerialOnTerminal, SwitchesToDownloadSettingsAndBack) {
  const std::string line = slave_path_;
  child_ = spawn_child(out_[1], 2, true, [&line] {
    if (mount(line.c_str(), "/dev/ttyS0", nullptr, MS_BIND, nullptr) != 0) return kNoPrivateMounts;
    const int fd = init_serial();
    printf("[in download settings: %d]\n", fd >= 0);
    fflush(stdout);
    reset_serial(fd);
    printf("[back]\n");
    fflush(stdout);
    return close(fd) == 0 ? 0 : 1;
  });
  ASSERT_GT(child_, 0);
  close(out_[1]);
  out_[1] = -1;
  std::string said;
  const bool told = read_until(out_[0], said, kInstructions, 5000);
  if (!told && child_status(child_, 2000) == kNoPrivateMounts)
    GTEST_SKIP() << "no private mount table to put a terminal at /dev/ttyS0";
  ASSERT_TRUE(told) << said;
  EXPECT_EQ(said, kInstructions);

  struct termios dl {};
  ASSERT_TRUE(settings_when([](const termios& t) { return t.c_iflag == IGNBRK; }, &dl));
  EXPECT_EQ(cfgetispeed(&dl), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&dl), static_cast<speed_t>(B115200));
  EXPECT_EQ(dl.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(dl.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));
  EXPECT_EQ(dl.c_oflag, 0u);
  EXPECT_EQ(dl.c_lflag, static_cast<tcflag_t>(ECHOK | IEXTEN));
  EXPECT_EQ(0, memcmp(dl.c_cc, console_.c_cc, sizeof dl.c_cc));

  // An LF is not the Enter key at the new speed; the CR is, and it arrives untranslated.
  type("\n");
  EXPECT_FALSE(read_until(out_[0], said, "[in download", 1500)) << "LF ended the wait";
  type("\r");
  ASSERT_TRUE(read_until(out_[0], said, kBackInstruction, 5000)) << said;
  EXPECT_EQ(said, std::string(kInstructions) + "[in download settings: 1]\n" + kBackInstruction);

  struct termios back {};
  ASSERT_TRUE(settings_when([](const termios& t) { return t.c_iflag != IGNBRK; }, &back));
  EXPECT_EQ(back.c_iflag, console_.c_iflag);
  EXPECT_EQ(back.c_oflag, console_.c_oflag);
  EXPECT_EQ(back.c_cflag, console_.c_cflag);
  EXPECT_EQ(back.c_lflag, console_.c_lflag);
  EXPECT_EQ(cfgetospeed(&back), static_cast<speed_t>(B9600));
  EXPECT_EQ(0, memcmp(back.c_cc, console_.c_cc, sizeof back.c_cc));

  // Back in cooked settings the Enter key's CR comes in as LF and ends the wait.
  type("\r");
  EXPECT_TRUE(read_until(out_[0], said, "[back]\n", 5000)) << said;
  EXPECT_EQ(child_status(child_, 5000), 0);
}

}  // namespace
