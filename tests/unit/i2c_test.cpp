#include "i2c.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "scratch.h"

namespace {

using kvztest::console_of;

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

class I2cTest : public testing::Test {
 protected:
  void SetUp() override { i2c_file[0] = i2c_file[1] = 0; }
  void TearDown() override { api_i2c_close(); }
};

TEST_F(I2cTest, InitStopsAtFirstMissingBus) {
  if (access("/dev/i2c-0", F_OK) == 0) GTEST_SKIP() << "this machine has an I2C bus 0";
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_i2c_init(), -1); }),
            "ERROR: driver /dev/i2c-0 couldn't be opened\n");
  EXPECT_EQ(i2c_file[0], -1);
  EXPECT_EQ(i2c_file[1], 0);  // never tried
}

// A closed entry is 0, standard input: nothing may be sent there, and every access fails the
// way an absent device does.
TEST_F(I2cTest, ClosedBusesFailAfterOneLine) {
  const std::string read_error = "I2C error when setting bus 0, device 0xa8: 9\n";
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_get_image(), 0); }), read_error);
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_get_usbboot(), 0); }), read_error);
  uint8_t buffer[2] = {7, 7};
  EXPECT_EQ(console_of([&] { EXPECT_EQ(api_eeprom_read(buffer, 300, 2), 0); }), read_error);
  EXPECT_EQ(buffer[0], 7);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(console_of([] { EXPECT_EQ(api_set_image(2), -1); }),
            "I2C error when setting bus 0: 9\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));  // no wait
}

// A second close must not close a descriptor that has since been reused for something else.
TEST_F(I2cTest, CloseTwiceClosesOnce) {
  i2c_file[0] = open("/dev/null", O_RDWR);
  i2c_file[1] = open("/dev/null", O_RDWR);
  const int a = i2c_file[0], b = i2c_file[1];
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(api_i2c_close(), 0);
  EXPECT_EQ(i2c_file[0], 0);
  EXPECT_EQ(i2c_file[1], 0);
  EXPECT_FALSE(is_open(a));
  EXPECT_FALSE(is_open(b));
  const int reused = open("/dev/null", O_RDWR);
  EXPECT_EQ(api_i2c_close(), 0);
  EXPECT_TRUE(is_open(reused));
  close(reused);
}

}  // namespace
