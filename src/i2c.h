// Board settings in the VPD EEPROM (bus 0, address 0x54, 16-bit word addresses) through Linux
// i2c-dev, and the register step on the bus-1 device at 0x20 that precedes every EEPROM write.
// All messages go to standard output.
#pragma once

#include <cstdint>

union i2c_smbus_data;

// Bus handles indexed by bus number; 0 when closed.
extern int i2c_file[2];

// VPD byte offsets.
inline constexpr uint16_t kVpdSelectedImage = 256;
inline constexpr uint16_t kVpdBootedImage = 314;
inline constexpr uint16_t kVpdUsbBoot = 315;
inline constexpr uint8_t kUsbBootEnabled = 213;

// Opens /dev/i2c-0 and /dev/i2c-1; 0 when both opened, -1 after the first failure.
int api_i2c_init();
// Closes both buses; always 0.
int api_i2c_close();
// The selected image slot byte, 0 when the read failed.
uint8_t api_get_image();
// Writes the selected image slot byte; the result of the EEPROM write.
int api_set_image(uint8_t slot);
// Writes the booted image slot byte; the result of the EEPROM write.
int api_set_booted_image(uint8_t slot);
// The USB-boot byte, 0 when the read failed.
uint8_t api_get_usbboot();
// Reads length VPD bytes from offset into buffer; 0 when an I2C step failed, else length.
int api_eeprom_read(uint8_t* buffer, uint16_t offset, int length);
// Selects address 0 on bus 0 and performs an empty write and read; buffer untouched.
int api_ubootenv_read(uint8_t* buffer, uint16_t value, int n);

// Inner layers.
// Random read: address is the 8-bit form (7-bit address << 1); offset_width 2 sends the offset
// high byte first, any other value only its low byte. 1 on success, 0 after a reported failure.
int i2c_read(int bus, uint8_t address, uint16_t offset, int length, int offset_width,
             uint8_t* buffer);
int get_vpd_offset(uint16_t offset, int length, uint8_t* buffer);
// Byte write of one VPD byte; -1 when selecting the EEPROM or the write failed, else 3.
int set_vpd_offset(uint16_t offset, uint8_t value);
int i2c_smbus_access(int fd, uint8_t read_write, uint8_t command, uint32_t size,
                     union i2c_smbus_data* data);
// The register value 0-255, or -1 when the request failed.
int i2c_smbus_read_byte_data(int fd, uint8_t reg);
int i2c_smbus_write_byte_data(int fd, uint8_t reg, uint8_t value);
