// The board's settings without editing bytes by hand: the VPD EEPROM's slot and USB-boot bytes,
// and the boot loader's environment, written as u-boot-tools' `mkenvimage -b` writes it.
#include "settings.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board_files.h"
#include "record.h"

namespace {

constexpr size_t kSelected = 256, kBooted = 314, kUsbBoot = 315;
constexpr uint8_t kUsbOn = 213;

int usage(const char* text) {
  fprintf(stderr, "usage: %s\n", text);
  return 2;
}

// zlib's CRC-32: the complement of the records' checksum.
uint32_t crc32_of(const uint8_t* data, size_t n) {
  return ~gen_crc(data, static_cast<uint32_t>(n), kCrcInit);
}

}  // namespace

int vpd_command(const std::string& board, const std::vector<std::string>& args) {
  const std::string path = board + "/eeprom/vpd.bin";
  std::vector<uint8_t> vpd = read_whole(path);
  if (vpd.size() <= kUsbBoot) return usage("kvzsim vpd BOARD [slot=1|2] [usbboot=on|off]");
  for (const std::string& a : args) {
    if (a == "slot=1" || a == "slot=2")
      vpd[kSelected] = static_cast<uint8_t>(a.back() - '0');
    else if (a == "usbboot=on" || a == "usbboot=off")
      vpd[kUsbBoot] = a == "usbboot=on" ? kUsbOn : 0;
    else
      return usage("kvzsim vpd BOARD [slot=1|2] [usbboot=on|off]");
  }
  write_whole(path, vpd);
  printf("selected slot (byte 256): %u\nbooted slot (byte 314): %u\nUSB boot (byte 315): %s (%u)\n",
         vpd[kSelected], vpd[kBooted], vpd[kUsbBoot] == kUsbOn ? "on" : "off", vpd[kUsbBoot]);
  return 0;
}

int env_command(const std::string& board, const std::vector<std::string>& args) {
  const std::string path = board + "/flash/ubootenv";
  std::vector<uint8_t> part = read_whole(path);
  // The CRC word, the variables each ended by a NUL, the NUL that ends the list, the fill.
  std::vector<uint8_t> env(4);
  for (const std::string& a : args) {
    if (a.find('=') == std::string::npos || a[0] == '=' || a.find('\n') != std::string::npos)
      return usage("kvzsim env BOARD [KEY=VALUE]...");
    env.insert(env.end(), a.begin(), a.end());
    env.push_back(0);
  }
  env.push_back(0);
  if (part.size() < 5 || env.size() > part.size()) {
    fprintf(stderr, "kvzsim: the environment does not fit %s\n", path.c_str());
    return 2;
  }
  env.resize(part.size(), 0xFF);
  put_be32(env.data(), crc32_of(env.data() + 4, env.size() - 4));
  write_whole(path, env);
  if (args.empty()) puts("(no variables)");
  for (size_t at = 4; at < env.size() && env[at] != 0;) {
    const char* var = reinterpret_cast<const char*>(&env[at]);
    printf("%s\n", var);
    at += strlen(var) + 1;
  }
  return 0;
}
