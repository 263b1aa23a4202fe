// The EEPROM layer's bus handles on a machine without I2C buses.
#include "i2c.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "scratch.h"

namespace {

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

TEST(I2c, InitStopsAtTheFirstMissingBus) {
  if (access("/dev/i2c-0", F_OK) == 0) GTEST_SKIP() << "this machine has an I2C bus 0";
  i2c_file[0] = i2c_file[1] = 0;
  EXPECT_EQ(kvztest::console_of([] { EXPECT_EQ(api_i2c_init(), -1); }),
            "ERROR: driver /dev/i2c-0 couldn't be opened\n");
  EXPECT_EQ(i2c_file[0], -1);
  EXPECT_EQ(i2c_file[1], 0);  // never tried
}

// A second close must not close a descriptor that has since been reused for something else.
TEST(I2c, CloseTwiceClosesOnce) {
  i2c_file[0] = open("/dev/null", O_RDWR);
  i2c_file[1] = open("/dev/null", O_RDWR);
  const int a = i2c_file[0], b = i2c_file[1];
  EXPECT_EQ(api_i2c_close(), 0);
  EXPECT_EQ(i2c_file[0], 0);
  EXPECT_EQ(i2c_file[1], 0);
  EXPECT_FALSE(is_open(a) || is_open(b));
  const int reused = open("/dev/null", O_RDWR);
  EXPECT_EQ(api_i2c_close(), 0);
  EXPECT_TRUE(is_open(reused));
  close(reused);
}

}  // namespace
