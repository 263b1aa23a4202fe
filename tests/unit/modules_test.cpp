// The launcher's modules in-process: the record checksum, the boot options, the flash layer's
// range checks, the EEPROM layer's bus handles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "record.h"
#include "flash.h"
#include "i2c.h"
#include "options.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Deterministic filler bytes, so that failures are reproducible.
Bytes pattern(size_t n, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

// ---- Checksum ----------------------------------------------------------------------------------

// Computed by a static initializer, before main: the tables must already be built for it.
const uint32_t kCheckValueBeforeMain = gen_crc("123456789", 9, kCrcInit);

TEST(Checksum, AgreesWithItsOracles) {
  EXPECT_EQ(kCheckValueBeforeMain, ~0xCBF43926u);
  EXPECT_EQ(gen_crc("123456789", 9, kCrcInit), ~0xCBF43926u);  // the common CRC-32 check value
  EXPECT_EQ(gen_crc("123456789", 0, 0x12345678u), 0x12345678u);
  // Every alignment; short lengths, lengths around the three-lane stride, long ones.
  const Bytes data = pattern(100000, 7);
  std::mt19937 rng(42);
  const auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  for (uint32_t round = 0; round < 400; ++round) {
    const uint32_t at = below(64), init = round % 3 ? kCrcInit : below(0xFFFFFFFFu);
    const uint32_t len = round < 64 ? round : round < 200 ? 3032 + below(80) : below(40000);
    ASSERT_EQ(gen_crc(&data[at], len, init), gen_crc_bitwise(&data[at], len, init))
        << at << "+" << len;
  }
  const uint32_t whole = gen_crc(data.data(), 100000, kCrcInit);
  uint32_t r = kCrcInit;
  for (uint32_t pos = 0, n = 0; pos < 100000; pos += n) {
    n = std::min<uint32_t>(100000 - pos, 1 + below(5000));
    r = gen_crc(&data[pos], n, r);
  }
  EXPECT_EQ(r, whole);
  EXPECT_EQ(CheckCrc(data.data(), 100000, whole), 0);
  EXPECT_EQ(CheckCrc(data.data(), 100000, whole ^ 1), 1);
  EXPECT_EQ(CheckCrc(data.data(), 99999, whole), 1);
  EXPECT_EQ(swapw(0x11223344u), 0x44332211u);
}

// ---- Boot options ------------------------------------------------------------------------------

// The options an environment text sets: the flags gdb, gdbserver, shell, memchk, rescue and
// diags as digits, then the debugger port.
std::string options_of(const char* text) {
  gdb_enable = gdbserver_enable = rescue_enable = standalone_diags = 0;
  shell_enable = memchk_enable = 0;
  gdbport = 1234;
  parse_env_text(text);
  char buf[64];
  snprintf(buf, sizeof buf, "%d%d%d%d%d%d %d", gdb_enable, gdbserver_enable, shell_enable,
           memchk_enable, rescue_enable, standalone_diags, gdbport);
  return buf;
}

// A key is found anywhere (inside a longer name or another value), only its first occurrence
// counts, and a value is compared by its prefix. The server turns the debugger on; off, it
// leaves it as it is ("gdbserver=" holds no "gdb="). The port is a decimal number as "%d" reads
// it, when one is there and fits an int.
TEST(EnvText, Rules) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string(1280, ' '), "000000 1234"},
      {std::string(1280, '\xff'), "000000 1234"},
      {"bootcmd=run boot_flash baudrate=9600 diagnostics=normal ", "000000 1234"},
      {"gdb=on shell=one memchk=onwards diagnostics=rescue2 ", "101110 1234"},
      {"gdb=of shell=Yes memchk=o diagnostics=diagsX ", "000001 1234"},
      {"gdb=off gdbserver=on ", "110000 1234"},
      {"gdb=on gdbserver=off ", "100000 1234"},
      {"gdbserver=off ", "000000 1234"},
      {"myshell=on shell=off ", "001000 1234"},
      {"bootargs=console=ttyS0 memchk=on x=1 memchk=off ", "000100 1234"},
      {"extra=diagnostics=diags diagnostics=rescue ", "000001 1234"},
      {"gdbport=2345 ", "000000 2345"},
      {"gdbport=abc ", "000000 1234"},
      {"gdbport= \t-77 ", "000000 -77"},
      {"gdbport=+80x ", "000000 80"},
      {"gdbport=", "000000 1234"},
      {"gdbport=2147483647 ", "000000 2147483647"},
      {"gdbport=2147483648 ", "000000 1234"},
      {"gdbport=-2147483649 ", "000000 1234"},
      {"xgdbport=99 gdbport=1 ", "000000 99"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(options_of(text.c_str()), want) << text;
}

// ---- Flash layer ---------------------------------------------------------------------------

constexpr uint32_t k64K = 0x10000;

// What the board cannot show (the launcher writes only from offset 0 and never erases): ranges
// whose end or whose block count wraps 32 bits are refused before any block is touched; an empty
// range at a block boundary touches none, and still draws its progress.
TEST(FlashBlocks, RangesThatWrapAreRefused) {
  flash_set_geometry(0x1000000, k64K);
  FILE* part = tmpfile();
  const int fd = fileno(part);
  const Bytes old = pattern(2 * k64K, 13);
  ASSERT_EQ(pwrite(fd, old.data(), old.size(), 0), static_cast<ssize_t>(old.size()));
  testing::internal::CaptureStdout();
  EXPECT_EQ(api_flash_write(pattern(16).data(), fd, 0x100, 0xFFFFFFFF, 0), -1);
  EXPECT_EQ(api_flash_erase(-1, 0xFFFF0000, 0x20000), -1);
  // Blocks covering all 4 GiB would wrap the block count to 0.
  EXPECT_EQ(api_flash_write(pattern(16).data(), fd, 0x10, 0xFFFFFFF0, 1), -1);
  EXPECT_EQ(api_flash_erase(fd, 0, 0xFFFFFFFF), -1);
  EXPECT_EQ(api_flash_erase(-1, 0x20000, 0), 0);
  EXPECT_EQ(api_flash_write(nullptr, -1, k64K, 0, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Flash Write range out of bounds.\n\nFlash Erase range out of bounds.\n"
            "Flash Write range out of bounds.\n\nFlash Erase range out of bounds.\n"
            "     \b\b\b\b100%\n");
  Bytes now(old.size());
  ASSERT_EQ(pread(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
  EXPECT_EQ(lseek(fd, 0, SEEK_END), static_cast<off_t>(old.size()));
  EXPECT_EQ(now, old);
  uint32_t size = 7;  // a file is no MTD device: no size
  EXPECT_EQ(mtd_get_size(fd, &size), 0);
  EXPECT_EQ(size, 7u);
  fclose(part);
}

// ---- EEPROM layer --------------------------------------------------------------------------

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
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
