// i2c-dev: the VPD EEPROM on bus 0 and the register device on bus 1.
#include "emu.h"

namespace emu {

// ---- I2C ------------------------------------------------------------------------------------

namespace {

constexpr int kEepromAddress = 0x54;
constexpr int kRegsAddress = 0x20;
constexpr uint32_t kEepromSize = 8192;
constexpr uint32_t kEepromPage = 32;

// A 24Cxx part programs its cells after the write's stop condition, and answers nothing during
// that internal write cycle: the host must wait it out (in board time).
constexpr double kWriteCycleSeconds = 0.005;

uint32_t eeprom_pointer = 0;
double eeprom_busy_until = 0;


// Opens a backing file of the board; -1 when the device is absent (it does not answer).
int open_backing(const char* rel) {
  char path[320];
  snprintf(path, sizeof path, "%s/%s", cfg.board, rel);
  return raw_open(path, O_RDWR);
}

bool eeprom_answers(int bus, int slave) {
  if (bus != 0 || slave != kEepromAddress || cfg.eeprom_silent) return false;
  if (board_seconds() < eeprom_busy_until) return false;
  const int fd = open_backing("eeprom/vpd.bin");
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

ssize_t i2c_write(int fd, const Device* dev, const uint8_t* b, size_t n) {
  const int bus = dev->name[0] - '0';
  const int slave = fd_state[fd].i2c_slave;
  char hex[256];
  hex_bytes(hex, sizeof hex, b, n);
  const char* gap = n ? " " : "";
  if (!eeprom_answers(bus, slave)) {
    log_i2c("i2c-%d 0x%02x write%s%s nak", bus, slave & 0xFF, gap, hex);
    errno = ENXIO;
    return -1;
  }
  log_i2c("i2c-%d 0x%02x write%s%s", bus, slave, gap, hex);
  // The word address arrives high byte first and is latched byte by byte: a write of one byte
  // replaces only the high byte. Without data bytes there is no write cycle.
  if (n >= 1) eeprom_pointer = ((static_cast<uint32_t>(b[0]) << 8) | (eeprom_pointer & 0xFF));
  if (n >= 2) eeprom_pointer = (eeprom_pointer & 0xFF00) | b[1];
  eeprom_pointer %= kEepromSize;
  if (n <= 2) return static_cast<ssize_t>(n);
  eeprom_busy_until = board_seconds() + kWriteCycleSeconds;
  const int back = open_backing("eeprom/vpd.bin");
  const uint32_t page = eeprom_pointer & ~(kEepromPage - 1);
  for (size_t i = 2; i < n; ++i) {
    // Data bytes roll over within the page, as on a 24Cxx part.
    if (raw_pwrite(back, &b[i], 1, eeprom_pointer) != 1) break;
    eeprom_pointer = page | ((eeprom_pointer + 1) & (kEepromPage - 1));
  }
  close(back);
  return static_cast<ssize_t>(n);
}

ssize_t i2c_read(int fd, const Device* dev, uint8_t* b, size_t n) {
  const int bus = dev->name[0] - '0';
  const int slave = fd_state[fd].i2c_slave;
  if (!eeprom_answers(bus, slave)) {
    log_i2c("i2c-%d 0x%02x read %zu nak", bus, slave & 0xFF, n);
    errno = ENXIO;
    return -1;
  }
  const int back = open_backing("eeprom/vpd.bin");
  for (size_t i = 0; i < n; ++i) {
    if (raw_pread(back, &b[i], 1, eeprom_pointer) != 1) b[i] = 0xFF;
    eeprom_pointer = (eeprom_pointer + 1) % kEepromSize;
  }
  close(back);
  char hex[256];
  hex_bytes(hex, sizeof hex, b, n);
  log_i2c("i2c-%d 0x%02x read %s", bus, slave, hex);
  return static_cast<ssize_t>(n);
}

namespace {

int i2c_smbus(int fd, const Device* dev, i2c_smbus_ioctl_data* req) {
  const int bus = dev->name[0] - '0';
  const int slave = fd_state[fd].i2c_slave;
  const bool reading = req->read_write == I2C_SMBUS_READ;
  const int back = (bus == 1 && slave == kRegsAddress) ? open_backing("eeprom/regs.bin") : -1;
  if (back < 0 || req->size != I2C_SMBUS_BYTE_DATA || !req->data) {
    if (back >= 0) close(back);
    log_i2c("i2c-%d 0x%02x smbus-%s reg 0x%02x nak", bus, slave & 0xFF, reading ? "read" : "write",
            req->command);
    errno = ENXIO;
    return -1;
  }
  if (reading) {
    if (raw_pread(back, &req->data->byte, 1, req->command) != 1) req->data->byte = 0;
  } else if (raw_pwrite(back, &req->data->byte, 1, req->command) != 1) {
    close(back);
    errno = EIO;
    return -1;
  }
  close(back);
  log_i2c("i2c-%d 0x%02x smbus-%s reg 0x%02x = 0x%02x", bus, slave, reading ? "read" : "write",
          req->command, req->data->byte);
  return 0;
}

}  // namespace

int i2c_ioctl(int fd, const Device* dev, unsigned long request, void* arg) {
  if (fd >= kMaxFds) {
    errno = EBADF;
    return -1;
  }
  if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
    const unsigned long addr = reinterpret_cast<unsigned long>(arg);
    if (addr > 0x7F) {
      errno = EINVAL;
      return -1;
    }
    // As when a kernel driver holds the address: only the forcing request takes it over.
    if (request == I2C_SLAVE && dev->name[0] - '0' == cfg.i2c_busy) {
      errno = EBUSY;
      return -1;
    }
    fd_state[fd].i2c_slave = static_cast<int>(addr);
    return 0;
  }
  if (request == I2C_SMBUS) return i2c_smbus(fd, dev, static_cast<i2c_smbus_ioctl_data*>(arg));
  errno = ENOTTY;
  return -1;
}

}  // namespace emu
