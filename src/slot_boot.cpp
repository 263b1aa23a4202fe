#include "slot_boot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board.h"
#include "i2c.h"
#include "launch.h"
#include "options.h"
#include "record.h"
#include "rejected.h"
#include "rescue_boot.h"
#include "stream.h"

uint8_t tried_alt_image = 0;

namespace {

constexpr const char* kSlotFiles[] = {nullptr, "/user/images/image1", "/user/images/image2"};
constexpr const char* kUsbImage = "/mnt/usb/QVM7314_OS.img";
constexpr size_t kChunk = 64 * 1024;
uint8_t chunk_buf[kChunk];  // the debugger's copy

int other_slot(int slot) {
  return slot == 1 ? 2 : 1;
}

// The last resort: the rescue partition's image. Returns only when it was unpacked and the
// operator asked for the menu.
int rescue_fallback() {
  if (extract_image_from_flash() == 0) shell_then_reset();
  return 1;
}

// Opens the file of slot 1 or 2, or the other slot's when it cannot be opened; -1 when neither
// opens (the caller then falls back to the rescue partition).
int open_slot_file(int slot) {
  const int other = other_slot(slot);
  int fd = open(kSlotFiles[slot], O_RDONLY);
  if (fd >= 0) return fd;
  fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot, other);
  fd = open(kSlotFiles[other], O_RDONLY);
  if (fd >= 0) return fd;
  fprintf(stderr, "Failed to open Application image %d. Trying rescue image\n", other);
  return -1;
}

// Opens the USB boot image after the rejected-list check; -1 when it is not to be booted.
int open_usb_image() {
  const int fd = open(kUsbImage, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "Failed to open application image from USB.\n");
    return -1;
  }
  if (!usb_is_image_rejected(kUsbImage)) {
    // Listed before it is unpacked: an image that hangs the board asks first next time.
    usb_add_image_to_reject_list(kUsbImage);
  } else if (!yesno_question("USB image is in rejected list.\nWould you still like to load it? ")) {
    close(fd);
    return -1;
  } else {
    puts("Continuing to load USB image...");
  }
  return fd;
}

int no_record(int slot, const uint8_t* header) {
  if (slot == 3) {
    fprintf(stderr, "Error: USB image corrupted or belongs to another switch type.\n");
    return 0;
  }
  if (tried_alt_image) {
    fprintf(stderr, "No valid application image found. Trying rescue image\n");
    return rescue_fallback();
  }
  fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", get_be32(header + 8),
          kMagicDiagnostics);
  fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
  return 0;
}

int crc_failed(int slot) {
  if (slot == 3) {
    fprintf(stderr, "USB image CRC failed.");
    return 0;
  }
  if (tried_alt_image) {
    fprintf(stderr, "Both image1 and image2 failed.\n");
    shell_then_reset();
  }
  fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
  return 0;
}

}  // namespace

int extract_image(int slot) {
  if (slot < 1 || slot > 3) return 0;
  Fd in(slot == 3 ? open_usb_image() : open_slot_file(slot));
  if (!in.ok()) return slot == 3 ? 0 : rescue_fallback();
  Fd out(open(kArchivePath, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!out.ok()) {
    fprintf(stderr, "Failed to open application image output file.\n");
    in.reset();
    shell_then_reset();
  }
  uint8_t header[kHeaderReadSize];
  if (!parse_image(in.get(), header)) {
    in.reset();
    out.reset();
    return no_record(slot, header);
  }
  struct stat st = {};
  fstat(in.get(), &st);
  const off_t at = lseek(in.get(), 0, SEEK_CUR);
  const RecordHeader h = decode_header(header);
  const RecordSource src = {in.get(), false, static_cast<uint64_t>(at), slot != 3};
  if (!payload_checks(src, h, static_cast<uint64_t>(st.st_size - at), out.get())) {
    in.reset();
    out.reset();
    return crc_failed(slot);
  }
  in.reset();
  out.reset();
  api_set_booted_image(static_cast<uint8_t>(slot));
  if (gdb_enable && !gdbserver_enable) extract_gdb(slot);
  launch_image(h.type_magic == kMagicDiagnostics);
  return 1;
}

int parse_image(int fd, uint8_t* header) {
  memset(header, 0, kHeaderReadSize);
  BundleWalk walk;
  if (!bundle_walk_begin(&walk, fd)) return 0;
  BundleRecord rec;
  // The walk always moves forward and ends after a record with unusable sizes, so a zero-size
  // record cannot make it loop.
  while (bundle_walk_next(&walk, &rec)) {
    memcpy(header, rec.raw, kHeaderReadSize);
    if (is_bootable_type(rec.hdr.type_magic)) {
      lseek(fd, static_cast<off_t>(rec.offset), SEEK_SET);
      return 1;
    }
  }
  return 0;
}

int which_image() {
  return api_get_image() == 2 ? 2 : 1;
}

int extract_gdb(int slot) {
  if (slot != 1 && slot != 2) return 0;
  const int source = other_slot(slot);
  printf("Extracting GDB from image slot %d\n", source);
  Fd in(open(kSlotFiles[source], O_RDONLY));
  if (!in.ok()) {
    fprintf(stderr, "Failed to open GDB image (from slot %d)\n", source);
    return 0;
  }
  Fd out(open("/tmp/gdb.gz", O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!out.ok()) {
    fprintf(stderr, "Failed to open GDB output file.\n");
    return 0;
  }
  uint8_t raw[kHeaderReadSize] = {};
  if (pread_full(in.get(), raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
    memset(raw, 0, sizeof raw);
  const RecordHeader h = decode_header(raw);
  if (!is_bootable_type(h.type_magic)) {
    fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
    return 0;
  }
  printf("Found GDB image %d of length = %u.\n", source, h.len);
  // Copies what the file holds of the payload; the record check is not made for the debugger.
  for (uint64_t pos = 0; pos < h.len; pos += kChunk) {
    const size_t n = static_cast<size_t>(h.len - pos < kChunk ? h.len - pos : kChunk);
    const ssize_t got = pread(in.get(), chunk_buf, n, static_cast<off_t>(h.payload_offset + pos));
    if (got <= 0) break;
    if (!write_all(out.get(), chunk_buf, static_cast<size_t>(got))) break;
  }
  in.reset();
  out.reset();
  puts("decompressing GDB....");
  run_shell("gunzip /tmp/gdb.gz");
  run_shell("chmod +x /tmp/gdb");
  return 1;
}
