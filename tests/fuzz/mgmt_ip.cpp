// The management port's address question with the answer lines on standard input, and the
// address check. Byte 0: required (bit 0) and verify (bit 1); the question is asked again until
// the console ends. With the check, an address taken passed it and a required answer is never
// empty. Bytes 1-4 as an address in network order: the check looks at the
// first number on the wire.
#include <cstring>

#include "fuzz.h"
#include "mgmt.h"

using kvzfuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  const kvzfuzz::NoLeaks no_leaks;
  if (size >= 5) {
    uint32_t addr;
    memcpy(&addr, data + 1, 4);
    if (verify_ip_address(addr) != (data[1] >= 1 && data[1] <= 239 ? 1 : 0))
      fail("verify_ip_address");
  }
  const uint8_t required = data[0] & 1, verify = (data[0] >> 1) & 1;
  kvzfuzz::feed_stdin(data + 1, size - 1);
  while (!console_closed) {
    constexpr uint32_t kUntouched = 0xFFFFFFFFu;  // 255.255.255.255, which verify refuses
    uint32_t addr = kUntouched;
    if (get_ip_addr("IP addr    :", &addr, required, verify) != 1) continue;
    if (verify && (addr == kUntouched ? required != 0 : !verify_ip_address(addr)))
      fail("address taken that the question must refuse");
  }
  return 0;
}
