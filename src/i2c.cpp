#include "i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int i2c_file[2] = {0, 0};

namespace {

constexpr int kVpdBus = 0;
constexpr uint8_t kVpdAddress8 = 0xA8;  // the read path carries the 8-bit form
constexpr uint8_t kVpdAddress7 = 0x54;
constexpr int kRegisterBus = 1;
constexpr uint8_t kRegisterDevice = 0x20;
constexpr uint8_t kRegisterSource = 4;
constexpr uint8_t kRegisterTarget = 12;
constexpr uint8_t kRegisterClearMask = 0xF7;  // clears bit 3
constexpr useconds_t kWriteSettle = 100000;   // the EEPROM's write cycle

// The handle of an open bus, or -1. A closed entry holds 0, and a request on it would go to
// the console on standard input instead of a bus.
int bus_handle(int bus) {
  if (bus < 0 || bus > 1 || i2c_file[bus] <= 0) return -1;
  return i2c_file[bus];
}

int select_device(int bus, uint8_t address) {
  const int fd = bus_handle(bus);
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  return ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address));
}

bool transferred(ssize_t done, int length) {
  return done >= 0 && done == length;
}

// Sends the EEPROM's address bytes: high byte first for two-byte addressing.
int address_bytes(uint16_t offset, int offset_width, uint8_t* bytes) {
  const auto low = static_cast<uint8_t>(offset & 0xFF);
  if (offset_width != 2) {
    bytes[0] = low;
    return 1;
  }
  bytes[0] = static_cast<uint8_t>(offset >> 8);
  bytes[1] = low;
  return 2;
}

// Reads `length` bytes after the address bytes were sent; a negative length reads nothing.
bool read_bytes(int fd, int length, uint8_t* buffer) {
  if (length < 0) {
    errno = EINVAL;
    return false;
  }
  return transferred(read(fd, buffer, static_cast<size_t>(length)), length);
}

// The register step on the bus-1 device that precedes every EEPROM write. Its outcome does not
// matter to the write; a failed read gives 0xFF, so 0xF7 is written.
void clear_register_bit() {
  const int fd = bus_handle(kRegisterBus);
  select_device(kRegisterBus, kRegisterDevice);
  const auto value = static_cast<uint8_t>(i2c_smbus_read_byte_data(fd, kRegisterSource));
  i2c_smbus_write_byte_data(fd, kRegisterTarget, static_cast<uint8_t>(value & kRegisterClearMask));
}

}  // namespace

int api_i2c_init() {
  for (int bus = 0; bus < 2; ++bus) {
    char path[32];
    snprintf(path, sizeof path, "/dev/i2c-%d", bus);
    i2c_file[bus] = open(path, O_RDWR);
    if (i2c_file[bus] < 0) {
      printf("ERROR: driver %s couldn't be opened\n", path);
      return -1;
    }
  }
  return 0;
}

int api_i2c_close() {
  for (int& fd : i2c_file) {
    if (fd > 0) {
      close(fd);
      fd = 0;
    }
  }
  return 0;
}

int i2c_read(int bus, uint8_t address, uint16_t offset, int length, int offset_width,
             uint8_t* buffer) {
  uint8_t bytes[2];
  const int count = address_bytes(offset, offset_width, bytes);
  if (select_device(bus, static_cast<uint8_t>(address >> 1)) < 0) {
    printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, address, errno);
    return 0;
  }
  const int fd = bus_handle(bus);
  if (!transferred(write(fd, bytes, static_cast<size_t>(count)), count)) {
    printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", address, bus, offset, errno);
    return 0;
  }
  if (!read_bytes(fd, length, buffer)) {
    printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", address, offset, length, errno);
    return 0;
  }
  return 1;
}

int get_vpd_offset(uint16_t offset, int length, uint8_t* buffer) {
  return i2c_read(kVpdBus, kVpdAddress8, offset, length, 2, buffer);
}

int set_vpd_offset(uint16_t offset, uint8_t value) {
  clear_register_bit();
  const uint8_t bytes[3] = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset & 0xFF),
                            value};
  if (select_device(kVpdBus, kVpdAddress7) < 0) {
    printf("I2C error when setting bus %d: %d\n", kVpdBus, errno);
    return -1;
  }
  const ssize_t written = write(bus_handle(kVpdBus), bytes, sizeof bytes);
  const int write_errno = errno;
  usleep(kWriteSettle);
  if (!transferred(written, 3)) {
    printf("I2C error when writing bus %d offset %d: %d\n", kVpdBus, offset, write_errno);
    return -1;
  }
  return 3;
}

uint8_t api_get_image() {
  uint8_t slot = 0;
  return get_vpd_offset(kVpdSelectedImage, 1, &slot) == 1 ? slot : 0;
}

int api_set_image(uint8_t slot) {
  return set_vpd_offset(kVpdSelectedImage, slot);
}

int api_set_booted_image(uint8_t slot) {
  return set_vpd_offset(kVpdBootedImage, slot);
}

uint8_t api_get_usbboot() {
  uint8_t flag = 0;
  return get_vpd_offset(kVpdUsbBoot, 1, &flag) == 1 ? flag : 0;
}

int api_eeprom_read(uint8_t* buffer, uint16_t offset, int length) {
  return get_vpd_offset(offset, length, buffer) == 1 ? length : 0;
}

// Addresses device 0 on the EEPROM's bus with an empty write and an empty read; the buffer is
// not touched. 0 when all three steps went through, else -1.
int api_ubootenv_read(uint8_t* buffer, uint16_t value, int n) {
  (void)value;
  (void)n;
  if (select_device(kVpdBus, 0) < 0) return -1;
  const int fd = bus_handle(kVpdBus);
  const bool wrote = write(fd, buffer, 0) == 0;
  const bool read_done = read(fd, buffer, 0) == 0;
  return wrote && read_done ? 0 : -1;
}

int i2c_smbus_access(int fd, uint8_t read_write, uint8_t command, uint32_t size,
                     union i2c_smbus_data* data) {
  i2c_smbus_ioctl_data args{};
  args.read_write = read_write;
  args.command = command;
  args.size = size;
  args.data = data;
  return ioctl(fd, I2C_SMBUS, &args);
}

int i2c_smbus_read_byte_data(int fd, uint8_t reg) {
  i2c_smbus_data data{};
  if (i2c_smbus_access(fd, I2C_SMBUS_READ, reg, I2C_SMBUS_BYTE_DATA, &data) < 0) return -1;
  return data.byte;
}

int i2c_smbus_write_byte_data(int fd, uint8_t reg, uint8_t value) {
  i2c_smbus_data data{};
  data.byte = value;
  return i2c_smbus_access(fd, I2C_SMBUS_WRITE, reg, I2C_SMBUS_BYTE_DATA, &data);
}
