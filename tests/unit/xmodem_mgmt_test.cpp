// The XMODEM CRC table against a bit-by-bit CRC, and the management port's address check.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "mgmt.h"
#include "xmodem.h"

namespace {

TEST(XmodemCrc, TableIsTheBitwiseCrcOfEachByte) {
  for (unsigned i = 0; i < 256; i++) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; bit++) crc = (crc << 1) ^ ((crc & 0x8000) ? 0x1021 : 0);
    EXPECT_EQ(crctab[i], crc & 0xFFFF) << i;
  }
}

TEST(Mgmt, VerifyIpAddress) {
  const struct {
    const char* addr;
    int ok;
  } cases[] = {{"0.0.0.0", 0},         {"0.1.2.3", 0},   {"240.1.1.1", 0},
               {"255.255.255.255", 0}, {"1.0.0.0", 1},   {"10.0.0.255", 1},
               {"127.0.0.1", 1},       {"224.0.0.1", 1}, {"239.255.255.255", 1}};
  for (const auto& c : cases) {
    in_addr a{};
    ASSERT_NE(inet_aton(c.addr, &a), 0);
    EXPECT_EQ(verify_ip_address(a.s_addr), c.ok) << c.addr;
  }
}

}  // namespace
