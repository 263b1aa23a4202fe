// Board storage on the virtual board, driven through the modules by the stand-in kvzsim_storage:
// flash rewrites and erases, the VPD EEPROM, the boot options and the serial line. Each session
// is one power-up: a script of driver commands and the whole transcript it must produce.
#include <termios.h>

#include <algorithm>
#include <tuple>

#include "boot_fixture.h"

using namespace kvzsim;
using boottest::flash_progress;
using kvztest::pattern;

namespace {

constexpr uint32_t kBlock = 65536;
constexpr size_t kKernelSize = 3u << 20;
using Counts = std::vector<std::pair<size_t, uint32_t>>;
struct Fill {
  size_t at, n;
  uint8_t value;
};

// The bytes with the fills applied in order.
Bytes filled(Bytes b, const std::vector<Fill>& fills) {
  for (const Fill& f : fills) std::fill_n(b.begin() + static_cast<long>(f.at), f.n, f.value);
  return b;
}

// The kernel partition's bytes (naming the first difference) and its blocks' erase counts.
void expect_kernel(const Board& board, const Bytes& want, const Counts& erased) {
  const Bytes got = board.read("flash/kernel");
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  EXPECT_TRUE(got == want) << "sizes " << got.size() << " " << want.size()
                           << ", first difference at " << diff.first - got.begin();
  std::vector<uint32_t> counts(kKernelSize / kBlock, 0);
  for (const auto& [block, n] : erased) counts.at(block) = n;
  EXPECT_EQ(board.erase_counts("kernel"), counts);
}

class StorageTest : public ::testing::TestWithParam<Target> {
 protected:
  Boot drive(const Board& board, const std::string& script, const Lines& faults = {}) {
    return run_storage(board, GetParam(), script, faults);
  }
};

// Plain reads fail silently; an erase takes every block its range touches and stops at the first
// failing one; a rewrite across three blocks keeps the bytes around the range. The boot options
// come from an environment made by u-boot-tools' mkenvimage: keys found inside other values, a
// signed port after a blank, a value that merely begins with "on".
TEST_P(StorageTest, ReadEraseRewriteAndOptions) {
  Board board({"--blank"});
  const Bytes old = pattern(kKernelSize, 7), src = pattern(0x10020, 99);
  board.write("flash/kernel", old);
  board.write("user/src.bin", src);
  board.set_env({"baudrate=115200", "bootargs=console=ttyS0,115200 gdb=on", "gdbport= -42",
                 "memchk=one", "shell=off"},
                8192);
  char read_back[32];
  snprintf(read_back, sizeof read_back, "read=0 %02x%02x\n", old[0], old[1]);
  const Boot r =
      drive(board,
            "flash_init\nenv\nread kernel 0 2\nread rfs 0 2\nread kernel 0 2\n"
            "erase kernel 0x50000 1\n"
            "erase kernel 0x60000 0x30000\n"  // blocks 6-8; the one of block 7 fails
            "write kernel 0xfff0 0x10020 file=/user/src.bin 0\n",
            {"fail_mtd_read=kernel:1", "short_mtd_read=rfs:1", "fail_mtd_erase=kernel:3"});
  EXPECT_EQ(r.out, std::string("flash_init=0\ngdb_enable=1 gdbserver_enable=0 gdbport=-42 "
                               "shell_enable=0 memchk_enable=1 rescue_enable=0 "
                               "standalone_diags=0\nread=-1\nread=-1\n") +
                       read_back + "erase=0\nFlash Erase mtd erase failed.\nerase=-1\nwrite=0\n");
  Bytes want = filled(old, {{5 * kBlock, 2 * kBlock, 0xff}});
  std::copy(src.begin(), src.end(), want.begin() + 0xfff0);
  expect_kernel(board, want, {{0, 1}, {1, 1}, {2, 1}, {5, 1}, {6, 1}});
  // Rewriting a kernel record (progress on) erases only blocks whose bytes change: none, then 5.
  board.clear_logs();
  const Bytes record =
      kvztest::make_record(kMagicKernel, 0x03000102, pattern((5u << 19) + 1000, 3));
  Bytes changed = record, partition(kKernelSize, 0xff);
  changed[5 * kBlock + 0x1234] ^= 0x5a;
  std::copy(record.begin(), record.end(), partition.begin());
  board.write("flash/kernel", partition);
  board.write("user/record", record);
  board.write("user/changed", changed);
  EXPECT_EQ(drive(board,
                  "flash_init\nwrite kernel 0 2622456 file=/user/record 1\n"
                  "write kernel 0 2622456 file=/user/changed 1\n")
                .out,
            "flash_init=0\n" + flash_progress(41) + "write=0\n" + flash_progress(41) + "write=0\n");
  std::copy(changed.begin(), changed.end(), partition.begin());
  expect_kernel(board, partition, {{5, 1}});
}

// A rewrite of blocks 0-2 with 0x5a that fails part way: the message, and what the partition
// holds afterwards over the old bytes. A block that is rewritten costs one read of the block and
// 64 reads of 1024 bytes to check what was written; its 64 pieces are 64 writes.
TEST_P(StorageTest, RewriteStopsAtTheFailingStep) {
  const Fill first = {0, kBlock, 0x5a};
  const struct {
    const char *fault, *step;
    std::vector<Fill> changes;
    Counts erased;
  } cases[] = {
      // clang-format off
      {"fail_mtd_read=kernel:2", "write", {first}, {{0, 1}}},  // reading back the first piece
      {"fail_mtd_read=kernel:66", "read", {first}, {{0, 1}}},
      {"short_mtd_read=kernel:66", "read", {first}, {{0, 1}}},
      {"fail_mtd_erase=kernel:2", "erase", {first}, {{0, 1}}},
      {"fail_mtd_write=kernel:65", "write", {first, {kBlock, kBlock, 0xff}}, {{0, 1}, {1, 1}}},
      // Half of the third piece reaches the flash; the rest of the block stays erased.
      {"short_mtd_write=kernel:3", "write", {{0, 0xa00, 0x5a}, {0xa00, kBlock - 0xa00, 0xff}},
       {{0, 1}}},
      // The second piece of block 1 reports success but changes nothing: the read-back sees it.
      {"stuck_mtd_write=kernel:66", "write", {{0, 2 * kBlock, 0x5a}, {kBlock + 0x400, 0x400, 0xff}},
       {{0, 1}, {1, 1}}},
      // clang-format on
  };
  const Bytes old = pattern(kKernelSize, 11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Board board({"--blank"});
    board.write("flash/kernel", old);
    EXPECT_EQ(drive(board, "flash_init\nwrite kernel 0 0x30000 pat=5a 0\n", {c.fault}).out,
              std::string("flash_init=0\nFlash Write mtd ") + c.step + " failed.\n\nwrite=-1\n");
    expect_kernel(board, filled(old, c.changes), c.erased);
  }
}

// Erase blocks larger than 64 KiB are taken whole; without usable flash (no geometry, a kernel
// partition that cannot be opened or has size zero, erase blocks that are no power of two of at
// least 1 KiB) nothing the driver asks reaches a partition,
// a flash record is not installed, and the boot options keep their defaults, as they do when the
// environment cannot be read.
TEST_P(StorageTest, OtherFlashes) {
  Board big({"--blank", "--erase-size", "0x20000"});
  EXPECT_EQ(
      drive(big,
            "flash_init\nwrite kernel 0x1fff0 0x20 pat=77 0\ndebug 0 0 1\nerase kernel 0x20000 1\n")
          .out,
      "flash_init=0\nwrite=0\nFlash Erase 0x00020000 to 0x00020000 (0x00020000 to 0x0003ffff) 1\n"
      "mtd erase 0x00020000 to 0x0003ffff\nerase=0\n");
  EXPECT_EQ(big.read("flash/kernel"), filled(Bytes(kKernelSize, 0xff), {{0x1fff0, 0x10, 0x77}}));
  std::vector<uint32_t> counts(kKernelSize / 0x20000, 0);
  counts[0] = 1, counts[1] = 2;
  EXPECT_EQ(big.erase_counts("kernel"), counts);
  const std::string script =
      "debug 1 1 1\nflash_init\nread kernel 0 4\nwrite kernel 0 16 pat=00 1\n"
      "write rfs 0 16 pat=00 0\nerase kernel 0 0x10000\nenv\ninstall /user/k.img 0 1\n";
  const std::string refused = "flash_init=-1\nread=-1\nwrite=-1\nwrite=-1\nerase=-1\n";
  const std::string not_installed =
      boottest::kExtract + "Installing Kernel: kernel image update failed\ninstall=0\n";
  const std::string defaults =
      "gdb_enable=0 gdbserver_enable=0 gdbport=1234 shell_enable=0 memchk_enable=0 "
      "rescue_enable=0 standalone_diags=0\n";
  Board board({"--blank"});
  board.write("user/k.img", kvztest::make_record(kMagicKernel, 1, pattern(100)));
  board.set_env({"shell=on", "diagnostics=rescue"});
  EXPECT_EQ(drive(board, "flash_init\nenv\n", {"fail_mtd_read=ubootenv:1"}).out,
            "flash_init=0\n" + defaults);
  const std::string no_info = "Could not get MTD device info \n";
  const std::pair<const char*, std::string> unusable[] = {
      {"fail_memgetinfo=1", no_info},
      {"fail_open=/dev/mtd-kernel", no_info},
      {"erase_size=0x18000", "Unsupported MTD erase size 0x18000\n"},
      {"erase_size=512", "Unsupported MTD erase size 0x200\n"},
      {"erase_size=0", "Unsupported MTD erase size 0x0\n"},
  };
  for (const auto& [fault, says] : unusable)
    EXPECT_EQ(drive(board, script, {fault}).out, says + refused + defaults + not_installed)
        << fault;
  board.write("flash/kernel", {});
  EXPECT_EQ(drive(board, script).out, "NO FLASH !\n" + refused + defaults + not_installed);
  EXPECT_EQ(board.read("flash/rfs"), Bytes(board.read("flash/rfs").size(), 0xff));
  EXPECT_FALSE(board.exists("stats/erase-kernel") || board.exists("stats/erase-rfs"));
}

// Every EEPROM byte write follows the register step on the bus-1 device (bit 3 of register 4,
// cleared, into register 12); reads return the bytes as stored (USB-boot byte 212: not enabled);
// one-byte addressing sends the offset's low byte alone. Closed buses fail after one line each.
TEST_P(StorageTest, EepromWritesFollowTheRegisterStep) {
  Board board;
  board.set_vpd(315, 212);
  board.set_vpd(0x1021, 0x77);
  Bytes vpd = board.read("eeprom/vpd.bin"), regs = board.read("eeprom/regs.bin");
  const std::string closed = "I2C error when setting bus 0, device 0xa8: 9\n";
  EXPECT_EQ(drive(board,
                  "i2c_init\nset_image 2\nset_booted_image 4\nget_usbboot\nget_image\n"
                  "eeprom_read 312 4\ni2c_read 0x0120 1 2\ni2c_read 0x1010 1 1\nubootenv_read\n"
                  "i2c_close\ni2c_close\nget_image\n"
                  "eeprom_read 312 2\nubootenv_read\nset_image 2\n")
                .out,
            "i2c_init=0\nset_image=3\nset_booted_image=3\nget_usbboot=212\nget_image=2\n"
            "eeprom_read=4 ffff04d4\ni2c_read=1 ff\ni2c_read=1 77\nubootenv_read=-1\n"
            "i2c_close=0\ni2c_close=0\n" +
                closed + "get_image=0\n" + closed +
                "eeprom_read=0 0000\nubootenv_read=-1\nI2C error when setting bus 0: 9\n"
                "set_image=-1\n");
  EXPECT_EQ(
      board.i2c_log(),
      (Lines{"i2c-1 0x20 smbus-read reg 0x04 = 0x0c", "i2c-1 0x20 smbus-write reg 0x0c = 0x04",
             "i2c-0 0x54 write 01 00 02", "i2c-1 0x20 smbus-read reg 0x04 = 0x0c",
             "i2c-1 0x20 smbus-write reg 0x0c = 0x04", "i2c-0 0x54 write 01 3a 04",
             "i2c-0 0x54 write 01 3b", "i2c-0 0x54 read d4", "i2c-0 0x54 write 01 00",
             "i2c-0 0x54 read 02", "i2c-0 0x54 write 01 38", "i2c-0 0x54 read ff ff 04 d4",
             "i2c-0 0x54 write 01 20", "i2c-0 0x54 read ff", "i2c-0 0x54 write 10",
             "i2c-0 0x54 read 77", "i2c-0 0x00 write nak", "i2c-0 0x00 read 0 nak"}));
  vpd[0x1021] = 0x77, vpd[256] = 2, vpd[314] = 4, regs[12] = 0x04;
  EXPECT_TRUE(board.read("eeprom/vpd.bin") == vpd);
  EXPECT_TRUE(board.read("eeprom/regs.bin") == regs);
}

auto settings(int line) {
  termios t;
  tcgetattr(line, &t);
  return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t),
                         cfgetospeed(&t), std::string(t.c_cc, t.c_cc + NCCS));
}

// From the switch's console settings (9600 bps, two stop bits, line editing, CR to LF) to 115200
// bps 8N1 raw, modem control and control characters kept, and back exactly. A key that is not
// Enter is dropped. Without a serial line nothing is waited for.
TEST_P(StorageTest, SerialLineIsHandedOverAndBack) {
  Board board({"--blank"});
  Console c(board, GetParam(), {"--launcher", bin_for(GetParam()) + "/kvzsim_storage"});
  const int line = c.serial_fd();
  termios t;
  tcgetattr(line, &t);
  t.c_iflag = ICRNL | IXON | BRKINT, t.c_oflag = OPOST | ONLCR;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS8 | CSTOPB | CREAD | CLOCAL | HUPCL;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  cfsetspeed(&t, B9600);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);
  const auto before = settings(line);
  tcgetattr(line, &t);  // as the (pseudo-terminal) line took them
  t.c_iflag = IGNBRK, t.c_oflag = 0, t.c_lflag = ECHOK | IEXTEN;
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  cfsetspeed(&t, B115200);
  c.send("serial_init\n");
  ASSERT_TRUE(c.wait_for("before initiating the download.\n"));
  usleep(100000);
  const auto during = settings(line);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);
  EXPECT_EQ(during, settings(line));
  ASSERT_EQ(write(line, "x\n", 2), 2);
  ASSERT_TRUE(c.wait_for("download can start...\r\n"));
  ASSERT_EQ(write(line, "\r", 1), 1);
  ASSERT_TRUE(c.wait_for("init_serial=ok\n"));
  c.send("serial_reset\n");
  ASSERT_TRUE(c.wait_for("to be hit...\r\n"));
  ASSERT_EQ(write(line, "\r", 1), 1);  // the restored settings turn the Enter key's CR into LF
  ASSERT_TRUE(c.wait_for("reset_serial=done\n"));
  EXPECT_EQ(settings(line), before);
  c.send("\x04");
  const Boot b = c.finish();
  EXPECT_EQ(b.out + b.err,
            "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
            "       before initiating the download.\n"
            "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
            "init_serial=ok\n"
            "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
            "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n"
            "reset_serial=done\n");
  const Boot none = run_script(board, GetParam(), "kvzsim_storage", "serial_init\nserial_reset\n",
                               {"--serial", "none"});
  EXPECT_EQ(none.out, "init_serial=-1\nreset_serial=done\n");
  EXPECT_EQ(none.err, "Can't open serial port!: No such file or directory\n");
}

INSTANTIATE_TEST_SUITE_P(Storage, StorageTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
