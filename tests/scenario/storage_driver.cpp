// A stand-in launcher that drives the board-storage modules themselves on the virtual board: one
// command per line on standard input, each answered "NAME=RESULT" on a line of its own, after the
// modules' own messages (standard output is unbuffered). Numbers take C prefixes; PART is kernel
// or rfs; a write's SOURCE is pat=HH (the byte repeated) or file=PATH, SHOW its progress flag.
//   flash_init | i2c_init | i2c_close | get_image | get_usbboot | ubootenv_read | env
//   set_image N | set_booted_image N | install PATH SKIP SLOT | debug READ WRITE ERASE
//   read PART OFFSET LENGTH | write PART OFFSET LENGTH SOURCE SHOW | erase PART OFFSET LENGTH
//   eeprom_read OFFSET LENGTH | i2c_read OFFSET LENGTH WIDTH | serial_init | serial_reset
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "flash.h"
#include "i2c.h"
#include "installer.h"
#include "options.h"
#include "xmodem.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t number(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 0));
}

void print_hex(const char* name, int result, const Bytes& bytes) {
  printf("%s=%d ", name, result);
  for (uint8_t b : bytes) printf("%02x", b);
  printf("\n");
}

// The source bytes of a write; false when the source cannot give `length` bytes.
bool source_bytes(const char* source, uint32_t length, Bytes* out) {
  out->assign(length, 0);
  unsigned value = 0;
  if (sscanf(source, "pat=%2x", &value) == 1) {
    out->assign(length, static_cast<uint8_t>(value));
    return true;
  }
  FILE* f = strncmp(source, "file=", 5) == 0 ? fopen(source + 5, "rb") : nullptr;
  const bool whole = f && fread(out->data(), 1, length, f) == length;
  if (f) fclose(f);
  return whole;
}

int serial_line = -1;  // the download line between serial_init and serial_reset

// Runs one command; false when it is not known.
bool run(const std::string& op, char** a, int argc) {
  const auto u8 = [&](int i) { return static_cast<uint8_t>(number(a[i])); };
  const int part = argc == 0                 ? -1
                   : !strcmp(a[0], "kernel") ? kernel_fd
                   : !strcmp(a[0], "rfs")    ? rfs_fd
                                             : -1;
  // Calls whose result is the whole answer: name, arguments, call.
  const struct {
    const char* name;
    int args;
    std::function<int()> call;
  } calls[] = {
      {"flash_init", 0, api_flash_init},
      {"i2c_init", 0, api_i2c_init},
      {"i2c_close", 0, api_i2c_close},
      {"get_image", 0, [] { return int{api_get_image()}; }},
      {"get_usbboot", 0, [] { return int{api_get_usbboot()}; }},
      {"set_image", 1, [&] { return api_set_image(u8(0)); }},
      {"set_booted_image", 1, [&] { return api_set_booted_image(u8(0)); }},
      {"ubootenv_read", 0,
       [] {
         uint8_t none[1];
         return api_ubootenv_read(none, 0, 0);
       }},
      {"erase", 3, [&] { return api_flash_erase(part, number(a[1]), number(a[2])); }},
      {"install", 3,
       [&] { return int{processVeskoImage(a[0], u8(1), static_cast<int32_t>(number(a[2])))}; }},
  };
  for (const auto& c : calls) {
    if (op != c.name || argc != c.args) continue;
    printf("%s=%d\n", c.name, c.call());
    return true;
  }
  Bytes buffer(argc > 1 ? number(a[argc == 2 ? 1 : 2]) : 0);
  if (op == "env") {
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
    const int r = api_flash_read(buffer.data(), part, number(a[1]), number(a[2]));
    if (r == 0) print_hex("read", r, buffer);
    if (r != 0) printf("read=%d\n", r);
  } else if (op == "write" && argc == 5 && source_bytes(a[3], number(a[2]), &buffer)) {
    printf("write=%d\n", api_flash_write(buffer.data(), part, number(a[1]), number(a[2]), u8(4)));
  } else if (op == "eeprom_read" && argc == 2) {
    const int n = static_cast<int>(buffer.size());
    print_hex("eeprom_read", api_eeprom_read(buffer.data(), static_cast<uint16_t>(number(a[0])), n),
              buffer);
  } else if (op == "i2c_read" && argc == 3) {
    buffer.resize(number(a[1]));
    const int n = static_cast<int>(buffer.size());
    print_hex("i2c_read",
              i2c_read(0, 0xA8, static_cast<uint16_t>(number(a[0])), n, u8(2), buffer.data()),
              buffer);
  } else if (op == "debug" && argc == 3) {
    debug_read = static_cast<int>(number(a[0]));
    debug_write = static_cast<int>(number(a[1]));
    debug_erase = static_cast<int>(number(a[2]));
  } else {
    return false;
  }
  return true;
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
    if (count > 0 && !run(words[0], words + 1, count - 1))
      printf("driver: bad command %s\n", words[0]);
  }
  return 0;
}
