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
#include <vector>

#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "launch.h"
#include "xmodem.h"

namespace {

using Bytes = std::vector<uint8_t>;

int part_fd(const char* name) {
  struct Part {
    const char* name;
    const int* fd;
  };
  static const Part parts[] = {{"uboot", &uboot_fd},
                               {"ubootenv", &uboot_env_fd},
                               {"devicetree", &device_tree_fd},
                               {"kernel", &kernel_fd},
                               {"rfs", &rfs_fd},
                               {"rescue", &rescue_fd}};
  for (const Part& p : parts)
    if (strcmp(p.name, name) == 0) return *p.fd;
  return -1;
}

uint32_t number(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 0));
}

void print_hex(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) printf("%02x", bytes[i]);
}

Bytes parse_hex(const char* text) {
  Bytes out;
  unsigned value = 0;
  while (text[0] && text[1] && sscanf(text, "%2x", &value) == 1) {
    out.push_back(static_cast<uint8_t>(value));
    text += 2;
  }
  return out;
}

// The source bytes of a write; false when the source cannot give `length` bytes.
bool source_bytes(const char* source, uint32_t length, Bytes* out) {
  out->assign(length, 0);
  if (strncmp(source, "pat=", 4) == 0) {
    const Bytes pattern = parse_hex(source + 4);
    if (pattern.empty()) return false;
    for (uint32_t i = 0; i < length; ++i) (*out)[i] = pattern[i % pattern.size()];
    return true;
  }
  if (strncmp(source, "file=", 5) != 0) return false;
  const int fd = open(source + 5, O_RDONLY);
  if (fd < 0) return false;
  size_t done = 0;
  ssize_t n = 1;
  while (done < length && (n = read(fd, out->data() + done, length - done)) > 0)
    done += static_cast<size_t>(n);
  close(fd);
  return done == length;
}

void cmd_read(char** args) {
  Bytes buffer(number(args[2]));
  const int r = api_flash_read(buffer.data(), part_fd(args[0]), number(args[1]), number(args[2]));
  printf("read=%d", r);
  if (r == 0) {
    printf(" ");
    print_hex(buffer.data(), buffer.size());
  }
  printf("\n");
}

void cmd_write(char** args) {
  Bytes source;
  if (!source_bytes(args[3], number(args[2]), &source)) {
    printf("driver: bad source %s\n", args[3]);
    return;
  }
  const int r = api_flash_write(source.data(), part_fd(args[0]), number(args[1]), number(args[2]),
                                static_cast<uint8_t>(number(args[4])));
  printf("write=%d\n", r);
}

void cmd_eeprom_read(char** args) {
  Bytes buffer(number(args[1]), 0);
  const int r = api_eeprom_read(buffer.data(), static_cast<uint16_t>(number(args[0])),
                                static_cast<int>(buffer.size()));
  printf("eeprom_read=%d ", r);
  print_hex(buffer.data(), buffer.size());
  printf("\n");
}

void cmd_i2c_read(char** args) {
  Bytes buffer(number(args[1]), 0);
  const int r =
      i2c_read(0, 0xA8, static_cast<uint16_t>(number(args[0])), static_cast<int>(buffer.size()),
               static_cast<int>(number(args[2])), buffer.data());
  printf("i2c_read=%d ", r);
  print_hex(buffer.data(), buffer.size());
  printf("\n");
}

void cmd_env() {
  parse_uboot_env();
  printf(
      "gdb_enable=%d gdbserver_enable=%d gdbport=%d shell_enable=%d memchk_enable=%d "
      "rescue_enable=%d standalone_diags=%d\n",
      gdb_enable, gdbserver_enable, static_cast<int>(gdbport), shell_enable, memchk_enable,
      rescue_enable, standalone_diags);
}

int serial_line = -1;  // the download line between serial_init and serial_reset

// Commands that take no argument or one number.
bool run_simple(const char* op, char** args, int argc) {
  const auto slot = static_cast<uint8_t>(argc > 0 ? number(args[0]) : 0);
  if (strcmp(op, "flash_init") == 0) {
    printf("flash_init=%d\n", api_flash_init());
  } else if (strcmp(op, "i2c_init") == 0) {
    printf("i2c_init=%d\n", api_i2c_init());
  } else if (strcmp(op, "i2c_close") == 0) {
    printf("i2c_close=%d\n", api_i2c_close());
  } else if (strcmp(op, "get_image") == 0) {
    printf("get_image=%u\n", api_get_image());
  } else if (strcmp(op, "get_usbboot") == 0) {
    printf("get_usbboot=%u\n", api_get_usbboot());
  } else if (strcmp(op, "set_image") == 0) {
    printf("set_image=%d\n", api_set_image(slot));
  } else if (strcmp(op, "set_booted_image") == 0) {
    printf("set_booted_image=%d\n", api_set_booted_image(slot));
  } else if (strcmp(op, "env") == 0) {
    cmd_env();
  } else if (strcmp(op, "serial_init") == 0) {
    serial_line = init_serial();
    printf(serial_line >= 0 ? "init_serial=ok\n" : "init_serial=-1\n");
  } else if (strcmp(op, "serial_reset") == 0) {
    reset_serial(serial_line);
    if (serial_line >= 0) close(serial_line);
    printf("reset_serial=done\n");
  } else {
    return false;
  }
  return true;
}

void run(char** words, int count) {
  const char* op = words[0];
  char** args = words + 1;
  const int argc = count - 1;
  if (run_simple(op, args, argc)) return;
  if (strcmp(op, "read") == 0 && argc == 3) return cmd_read(args);
  if (strcmp(op, "write") == 0 && argc == 5) return cmd_write(args);
  if (strcmp(op, "erase") == 0 && argc == 3) {
    printf("erase=%d\n", api_flash_erase(part_fd(args[0]), number(args[1]), number(args[2])));
    return;
  }
  if (strcmp(op, "eeprom_read") == 0 && argc == 2) return cmd_eeprom_read(args);
  if (strcmp(op, "i2c_read") == 0 && argc == 3) return cmd_i2c_read(args);
  if (strcmp(op, "install") == 0 && argc == 3) {
    printf("install=%d\n", processVeskoImage(args[0], static_cast<uint8_t>(number(args[1])),
                                             static_cast<int32_t>(number(args[2]))));
    return;
  }
  if (strcmp(op, "debug") == 0 && argc == 3) {
    debug_read = static_cast<int>(number(args[0]));
    debug_write = static_cast<int>(number(args[1]));
    debug_erase = static_cast<int>(number(args[2]));
    return;
  }
  printf("driver: unknown command %s\n", op);
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
    if (count > 0) run(words, count);
  }
  return 0;
}
