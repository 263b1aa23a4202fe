// Shared pieces of the boot scenarios: the command lines every boot runs, the VPD bytes it
// leaves, and slot files made of records built in memory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "records.h"
#include "sim.h"

namespace boottest {

using kvzsim::Board;
using kvzsim::Boot;
using kvzsim::Bytes;
using kvzsim::Console;
using kvzsim::Target;
using kvztest::bare_header;
using kvztest::concat;
using kvztest::make_record;
using Lines = std::vector<std::string>;

// VPD EEPROM bytes: the selected slot and the slot that was booted.
constexpr size_t kSelectedSlot = 256;
constexpr size_t kBootedSlot = 314;
// The VPD of a new board leaves the booted-slot byte erased.
constexpr uint8_t kErased = 0xFF;

// Command lines as commands.log shows them (a newline is the two characters \n).
inline const std::string kMount = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user";
inline const std::string kUntar =
    "cd /tmp \\ntar mxzf /tmp/kavosimage.tar.gz \\nrm /tmp/kavosimage.tar.gz\\n";
inline const std::string kExec = "exec /bin/backtrace";
inline const std::string kReboot = "reboot";
inline const std::string kShell = "/bin/sh\\n";
inline const std::string kMkdirDiags = "mkdir -p /tmp/home/bin";
inline const std::string kMoveDiags = "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip";

// kvzsim's exit status: the launcher became /bin/backtrace, or it rebooted the board.
constexpr int kRanApplication = 0;
constexpr int kRebooted = 1;
constexpr int kOtherEnd = 3;

inline const std::string kArchive = "tmp/kavosimage.tar.gz";
inline const std::string kImage1 = "user/images/image1";
inline const std::string kImage2 = "user/images/image2";

inline Bytes app_record(const std::string& version, uint16_t hdrlen = 0) {
  return make_record(kMagicApplication, 0x01000000, kvzsim::app_archive(version), hdrlen);
}

inline Bytes diags_record(const std::string& version, uint16_t hdrlen = 0) {
  return make_record(kMagicDiagnostics, 0x01000000, kvzsim::diags_archive(version), hdrlen);
}

// An application archive that also carries home/bin/blob, big enough (and incompressible) for
// its record to span several of the launcher's read chunks.
inline const std::string& big_blob() {
  static const Bytes bytes = kvztest::pattern(300 * 1024, 99);
  static const std::string blob(bytes.begin(), bytes.end());
  return blob;
}
inline Bytes big_app_record(const std::string& version, uint16_t hdrlen = 0) {
  return make_record(
      kMagicApplication, 0x01000000,
      kvzsim::make_archive({{"home/bin/distro-id", "kvzsample 1\n"},
                            {"home/bin/blob", big_blob()},
                            {"home/bin/mp.elf.strip", "#!/bin/sh\necho \"kvzsample: application " +
                                                          version + " is running\"\n"}}),
      hdrlen);
}

// A record of a type that is never booted, with filler as payload.
inline Bytes other_record(uint32_t type_magic, size_t payload_size, uint16_t hdrlen = 0) {
  return make_record(type_magic, 0x01000000, kvztest::pattern(payload_size, 7), hdrlen);
}

// Inverts one byte of a file in place, so that the record around it fails its check.
inline void flip_byte(const Board& board, const std::string& rel, size_t offset) {
  const Bytes now = board.read(rel);
  board.patch(rel, offset, {static_cast<uint8_t>(now.at(offset) ^ 0xFF)});
}

// What the installer prints: its opening line, the percentage display of a flash write over
// `blocks` 64 KiB blocks, and that of a slot file of `size` bytes with its closing lines.
inline const std::string kExtract = "\nExtracting images ... Do *NOT* power cycle the switch.\n";

inline std::string pct(size_t value) {
  char text[8];
  snprintf(text, sizeof text, "%03zu%%", value);
  return text;
}

inline std::string flash_progress(size_t blocks) {
  std::string s = "     ";
  for (size_t i = 0; i < blocks; ++i) s += "\b\b\b\b" + pct(i * 100 / blocks);
  return s + "\b\b\b\b100%\n";
}

inline std::string slot_written(int slot, size_t size) {
  std::string s = "Installing image as image" + std::to_string(slot) + ":     ";
  for (size_t done = 0; done < size;) {
    done = std::min(done + 65536, size);
    s += "\b\b\b\b" + pct(done * 100 / size);
  }
  return s + "\b\b\b\b100%\n\nImage" + std::to_string(slot) + " updated succeeded\n";
}

// A boot-loader record whose payload carries the copy of its header at byte 240.
inline Bytes uboot_record(uint32_t id, size_t size, uint32_t seed) {
  Bytes payload = kvztest::pattern(size, seed);
  put_be32(payload.data() + 244, static_cast<uint32_t>(size));
  put_be32(payload.data() + 248, kMagicBootLoader);
  put_be32(payload.data() + 252, id);
  return make_record(kMagicBootLoader, id, payload);
}

// Each case runs on the host build of the launcher and on the PowerPC one.
class BootTest : public ::testing::TestWithParam<Target> {
 protected:
  Boot run(const Board& board, const std::vector<std::string>& extra = {}) {
    return kvzsim::boot(board, GetParam(), extra);
  }

  // Checks how a run ended, what it printed and the command lines it ran.
  static void expect_run(const Boot& r, const Board& board, int status, const std::string& out,
                         const std::string& err, const Lines& commands) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(board.commands(), commands);
  }

  // Boots up to `question`, lets the launcher settle in its read, then presses `keys`; `echo`
  // receives what the console terminal showed of them.
  Boot answer(const Board& board, const std::string& question, const std::string& keys,
              std::string* echo = nullptr) {
    Console c(board, GetParam());
    EXPECT_TRUE(c.wait_for(question));
    usleep(800000);  // the launcher is waiting in its read by now
    c.send(keys);
    const Boot r = c.finish();
    if (echo) *echo = c.echo();
    return r;
  }
};

}  // namespace boottest
