// A stand-in launcher that drives the board-storage modules themselves (flash partitions, VPD
// EEPROM, boot options) on the virtual board. It reads one command per line from standard input,
// calls the module function and prints its result on a line of its own; the modules' own
// messages come out in between, in order, because standard output is unbuffered.
//
//   flash_init                             api_flash_init: "flash_init=R"
//   read PART OFFSET LENGTH                api_flash_read: "read=R HEX" (HEX only for R 0)
//   write PART OFFSET LENGTH SOURCE SHOW   api_flash_write: "write=R"; SOURCE is pat=HEX (the
//                                          bytes repeated to LENGTH) or file=PATH (its first
//                                          LENGTH bytes); SHOW is the progress flag
//   erase PART OFFSET LENGTH               api_flash_erase: "erase=R"
//   debug READ WRITE ERASE                 sets debug_read, debug_write, debug_erase
//   i2c_init | i2c_close                   "i2c_init=R" | "i2c_close=R"
//   get_image | get_usbboot                "get_image=N" | "get_usbboot=N"
//   set_image N | set_booted_image N       "set_image=R" | "set_booted_image=R"
//   eeprom_read OFFSET LENGTH              api_eeprom_read: "eeprom_read=R HEX"
//   ubootenv_read                          api_ubootenv_read: "ubootenv_read=R"
//   i2c_read OFFSET LENGTH WIDTH           i2c_read of the EEPROM: "i2c_read=R HEX"
//   env                                    parse_uboot_env, then every boot option on one line
//   serial_init | serial_reset             init_serial, then reset_serial on its line:
//                                          "init_serial=ok" (or -1) | "reset_serial=done"
//   install PATH SKIP SLOT                 processVeskoImage: "install=R"
//
// PART is uboot, ubootenv, devicetree, kernel, rfs or rescue: the module's own handle. Numbers
// take C prefixes (0x10).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "launch.h"
#include "xmodem.h"

namespace {

using Bytes = std::vector<uint8_t>;

int part_fd(const std::string& name) {
  const std::pair<const char*, const int*> parts[] = {{"uboot", &uboot_fd},
                                                      {"ubootenv", &uboot_env_fd},
                                                      {"devicetree", &device_tree_fd},
                                                      {"kernel", &kernel_fd},
                                                      {"rfs", &rfs_fd},
                                                      {"rescue", &rescue_fd}};
  for (const auto& [part, fd] : parts)
    if (name == part) return *fd;
  return -1;
}

uint32_t number(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 0));
}

void print_hex(const char* prefix, int result, const Bytes& bytes) {
  printf("%s=%d ", prefix, result);
  for (uint8_t b : bytes) printf("%02x", b);
  printf("\n");
}

// The source bytes of a write; false when the source cannot give `length` bytes.
bool source_bytes(const char* source, uint32_t length, Bytes* out) {
  out->assign(length, 0);
  if (strncmp(source, "pat=", 4) == 0) {
    Bytes pattern;
    unsigned value = 0;
    for (const char* p = source + 4; p[0] && p[1] && sscanf(p, "%2x", &value) == 1; p += 2)
      pattern.push_back(static_cast<uint8_t>(value));
    for (uint32_t i = 0; i < length && !pattern.empty(); ++i)
      (*out)[i] = pattern[i % pattern.size()];
    return !pattern.empty();
  }
  FILE* f = strncmp(source, "file=", 5) == 0 ? fopen(source + 5, "rb") : nullptr;
  const bool whole = f && fread(out->data(), 1, length, f) == length;
  if (f) fclose(f);
  return whole;
}

void cmd_write(char** args) {
  Bytes source;
  if (!source_bytes(args[3], number(args[2]), &source)) {
    printf("driver: bad source %s\n", args[3]);
    return;
  }
  printf("write=%d\n", api_flash_write(source.data(), part_fd(args[0]), number(args[1]),
                                       number(args[2]), static_cast<uint8_t>(number(args[4]))));
}

int serial_line = -1;  // the download line between serial_init and serial_reset

void run(const std::string& op, char** args, int argc) {
  const auto slot = static_cast<uint8_t>(argc > 0 ? number(args[0]) : 0);
  if (op == "flash_init") {
    printf("flash_init=%d\n", api_flash_init());
  } else if (op == "i2c_init") {
    printf("i2c_init=%d\n", api_i2c_init());
  } else if (op == "i2c_close") {
    printf("i2c_close=%d\n", api_i2c_close());
  } else if (op == "get_image") {
    printf("get_image=%u\n", api_get_image());
  } else if (op == "get_usbboot") {
    printf("get_usbboot=%u\n", api_get_usbboot());
  } else if (op == "set_image") {
    printf("set_image=%d\n", api_set_image(slot));
  } else if (op == "set_booted_image") {
    printf("set_booted_image=%d\n", api_set_booted_image(slot));
  } else if (op == "ubootenv_read") {
    uint8_t unused[4] = {};
    printf("ubootenv_read=%d\n", api_ubootenv_read(unused, 0, 0));
  } else if (op == "env") {
    parse_uboot_env();
    printf(
        "gdb_enable=%d gdbserver_enable=%d gdbport=%d shell_enable=%d memchk_enable=%d "
        "rescue_enable=%d standalone_diags=%d\n",
        gdb_enable, gdbserver_enable, static_cast<int>(gdbport), shell_enable, memchk_enable,
        rescue_enable, standalone_diags);
  } else if (op == "serial_init") {
    serial_line = init_serial();
    printf(serial_line >= 0 ? "init_serial=ok\n" : "init_serial=-1\n");
  } else if (op == "serial_reset") {
    reset_serial(serial_line);
    if (serial_line >= 0) close(serial_line);
    printf("reset_serial=done\n");
  } else if (op == "read" && argc == 3) {
    Bytes buffer(number(args[2]));
    const int r = api_flash_read(buffer.data(), part_fd(args[0]), number(args[1]), number(args[2]));
    if (r == 0)
      print_hex("read", r, buffer);
    else
      printf("read=%d\n", r);
  } else if (op == "write" && argc == 5) {
    cmd_write(args);
  } else if (op == "erase" && argc == 3) {
    printf("erase=%d\n", api_flash_erase(part_fd(args[0]), number(args[1]), number(args[2])));
  } else if (op == "eeprom_read" && argc == 2) {
    Bytes buffer(number(args[1]), 0);
    const int r = api_eeprom_read(buffer.data(), static_cast<uint16_t>(number(args[0])),
                                  static_cast<int>(buffer.size()));
    print_hex("eeprom_read", r, buffer);
  } else if (op == "i2c_read" && argc == 3) {
    Bytes buffer(number(args[1]), 0);
    const int r = i2c_read(0, 0xA8, static_cast<uint16_t>(number(args[0])),
                           static_cast<int>(buffer.size()), static_cast<int>(number(args[2])),
                           buffer.data());
    print_hex("i2c_read", r, buffer);
  } else if (op == "install" && argc == 3) {
    printf("install=%d\n", processVeskoImage(args[0], static_cast<uint8_t>(number(args[1])),
                                             static_cast<int32_t>(number(args[2]))));
  } else if (op == "debug" && argc == 3) {
    debug_read = static_cast<int>(number(args[0]));
    debug_write = static_cast<int>(number(args[1]));
    debug_erase = static_cast<int>(number(args[2]));
  } else {
    printf("driver: unknown command %s\n", op.c_str());
  }
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char line[8192];
  while (fgets(line, sizeof line, stdin)) {
    char* words[8];
    int count = 0;
    for (char* w = strtok(line, " \t\r\n"); w && count < 8; w = strtok(nullptr, " \t\r\n"))
      words[count++] = w;
    if (count > 0) run(words[0], words + 1, count - 1);
  }
  return 0;
}
