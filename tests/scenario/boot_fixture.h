// Shared pieces of the boot scenarios: command lines, VPD bytes, records, installer output.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records.h"
#include "sim.h"

namespace boottest {

using namespace kvzsim;
using kvztest::bare_header;
using kvztest::concat;
using kvztest::make_record;
using Prepare = std::function<void(const Board&)>;

// VPD EEPROM bytes: the selected slot and the slot that was booted (erased on a new board).
constexpr size_t kSelectedSlot = 256;
constexpr size_t kBootedSlot = 314;
constexpr uint8_t kErased = 0xFF;

// Command lines as commands.log shows them (a newline is the two characters \n).
inline const std::string kMount = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user";
inline const std::string kUntar =
    "cd /tmp \\ntar mxzf /tmp/kavosimage.tar.gz \\nrm /tmp/kavosimage.tar.gz\\n";
inline const std::string kExec = "exec /bin/backtrace", kReboot = "reboot", kShell = "/bin/sh\\n";
inline const std::string kMkdirDiags = "mkdir -p /tmp/home/bin";
inline const std::string kMoveDiags = "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip";
inline const Lines kApp = {kMount, kUntar, kExec},
                   kDiags = {kMount, kUntar, kMkdirDiags, kMoveDiags, kExec};

// What boots print: the demo board's slot 1 booting, and both slot files missing.
inline const std::string kBooting = "Booting image '1'\n";
inline const std::string kApp1 = app_says("1.1.0.0");
inline const std::string kNoSlots =
    "Failed to open Application image 1. Trying image 2.\n"
    "Failed to open Application image 2. Trying rescue image\n";

// kvzsim's options for one injected fault.
inline std::vector<std::string> fault(const std::string& spec) {
  return {"--fault", spec};
}

inline const std::string kArchive = "tmp/kavosimage.tar.gz";
inline const std::string kImage1 = "user/images/image1", kImage2 = "user/images/image2";

inline Bytes app_record(const std::string& version, uint16_t hdrlen = 0) {
  return make_record(kMagicApplication, 0x01000000, app_archive(version), hdrlen);
}
inline Bytes diags_record(const std::string& version, uint16_t hdrlen = 0) {
  return make_record(kMagicDiagnostics, 0x01000000, diags_archive(version), hdrlen);
}
// An application record with home/bin/blob, incompressible, spanning several read chunks.
inline const std::string kBigBlob = as_text(kvztest::pattern(300 * 1024, 99));
inline Bytes big_app_record(const std::string& version, uint16_t hdrlen = 0) {
  return make_record(kMagicApplication, 0x01000000,
                     app_archive(version, true, {{"home/bin/blob", kBigBlob}}), hdrlen);
}
// A record of a type that is never booted, with filler as payload.
inline Bytes other_record(uint32_t type_magic, size_t payload_size, uint16_t hdrlen = 0) {
  return make_record(type_magic, 0x01000000, kvztest::pattern(payload_size, 7), hdrlen);
}

// Scenario set-ups, and checks of what a boot left behind, made of steps taken in order.
inline Prepare steps(const std::vector<Prepare>& all) {
  return [=](const Board& b) {
    for (const Prepare& step : all) step(b);
  };
}
inline Prepare env(const Lines& vars) {
  return [=](const Board& b) { b.set_env(vars); };
}
inline Prepare select_slot(uint8_t slot) {
  return [=](const Board& b) { b.set_vpd(kSelectedSlot, slot); };
}
inline Prepare put(const std::string& rel, const Bytes& data) {
  return [=](const Board& b) { b.write(rel, data); };
}
inline Prepare drop(const std::string& rel) {
  return [=](const Board& b) { b.remove(rel); };
}
// Inverts one byte of a file in place, so that the record around it fails its check.
inline Prepare flip(const std::string& rel, size_t offset) {
  return [=](const Board& b) { b.patch(rel, offset, {uint8_t(b.read(rel).at(offset) ^ 0xFF)}); };
}
// The VPD's selected and booted slot bytes afterwards.
inline Prepare vpd_is(uint8_t selected, uint8_t booted) {
  return [=](const Board& b) {
    EXPECT_EQ(b.vpd(kSelectedSlot), selected);
    EXPECT_EQ(b.vpd(kBootedSlot), booted);
  };
}

// The rescue menu as it is printed.
inline const std::string kMenu =
    "Please select one of the following options:\n\tX) Use xmodem 1K to serial download an "
    "image\n\tR) Reboot\n\tE) Exit\n";

// What the installer prints: its opening line, the progress of a flash write over `blocks` 64 KiB
// blocks, and that of a slot file of `size` bytes with its closing lines.
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
    return boot(board, GetParam(), extra);
  }
  void run_all(const std::vector<Scenario>& scenarios) {
    for (const Scenario& s : scenarios) run_scenario(s, GetParam());
  }
};

}  // namespace boottest
