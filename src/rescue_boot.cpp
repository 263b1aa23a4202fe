#include "rescue_boot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board.h"
#include "console.h"
#include "flash.h"
#include "i2c.h"
#include "launch.h"
#include "record.h"
#include "stream.h"

namespace {

constexpr uint8_t kRescueSlot = 4;

// Puts a record's first bytes back at the start of a file that holds the whole record otherwise;
// a file of another size (a copy that failed) is left as it is. A header that cannot be written
// leaves a file that no boot takes for a record, so its failure needs no report of its own.
void put_header(const char* path, const uint8_t* header, uint64_t record_size) {
  Fd file(open(path, O_WRONLY));
  struct stat st = {};
  if (!file.ok() || fstat(file.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) != record_size)
    return;
  if (pwrite(file.get(), header, kStandardHeaderSize, 0) == ssize_t{kStandardHeaderSize})
    fsync(file.get());
}

// Copies the rescue partition's record, header included, into a slot and selects that slot.
// The copy is made with the header held back, and the slot file gets it once cp has brought
// everything else: a copy cut short by a power failure then holds no record, and the next start
// falls back to the rescue image again instead of failing the check in both slots for ever.
void install_recovery_image(const RecordSource& src, const RecordHeader& h, char slot_char) {
  printf("\nInstalling recovery image as image%c...\n", slot_char);
  Fd image(open("/tmp/image", O_RDWR | O_CREAT | O_TRUNC, 0644));
  // The record is read again from flash; a copy that does not check is not installed.
  StreamCopy whole;
  whole.out_fd = image.get();
  whole.truncate_on_failure = true;
  if (!image.ok() || stream_record(src, h, whole) != 0) {
    fprintf(stderr, "Failed to open image file.\n");
    board_reset();
  }
  uint8_t header[kStandardHeaderSize] = {};
  static const uint8_t kHeldBack[kStandardHeaderSize] = {};
  if (pread_full(image.get(), header, sizeof header, 0) != ssize_t{kStandardHeaderSize} ||
      pwrite(image.get(), kHeldBack, sizeof kHeldBack, 0) != ssize_t{kStandardHeaderSize}) {
    fprintf(stderr, "Failed to open image file.\n");
    board_reset();
  }
  image.reset();
  run_shell("mkdir /user/images &> /dev/null");
  snprintf(stringbuff, sizeof stringbuff, "cp /tmp/image /user/images/image%c\n", slot_char);
  run_shell(stringbuff);
  char slot_path[32];
  snprintf(slot_path, sizeof slot_path, "/user/images/image%c", slot_char);
  put_header("/tmp/image", header, h.total_size);
  put_header(slot_path, header, h.total_size);
  const int slot = slot_char - '0';
  printf("Setting boot image to %d\n", slot);
  api_set_image(static_cast<uint8_t>(slot));
  api_set_booted_image(static_cast<uint8_t>(slot));
}

void ask_recovery_install(const RecordSource& src, const RecordHeader& h) {
  printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
  fflush(stdout);
  // Only the first of at most 7 characters counts.
  char answer[8];
  if (get_user_input(answer, sizeof answer) == nullptr || (console_closed && answer[0] == 0)) {
    // The interrupt key, or a console at its end before anything was typed: boot as it is.
    return;
  }
  if (answer[0] == '1' || answer[0] == '2') {
    install_recovery_image(src, h, answer[0]);
    return;
  }
  puts(
      "\nBooting recovery image. You will need to download and install an image before "
      "rebooting");
  api_set_booted_image(kRescueSlot);
}

}  // namespace

int extract_image_from_flash() {
  Fd out(open(kArchivePath, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!out.ok()) {
    fprintf(stderr, "Failed to open DuzIZ tarfile.\n");
    board_reset();
  }
  uint8_t raw[kHeaderReadSize] = {};
  if (api_flash_read(raw, rescue_fd, 0, sizeof raw) != 0) memset(raw, 0, sizeof raw);
  const RecordHeader h = decode_header(raw);
  if (!is_bootable_type(h.type_magic)) {
    fprintf(stderr, "Image not found... \n");
    return 0;
  }
  // The partition's end is found by the reads themselves: a record running past it fails.
  const RecordSource src = {rescue_fd, true, 0};
  if (!payload_checks(src, h, UINT64_MAX, out.get())) {
    fprintf(stderr, "Image CRC failed. Quitting\n");
    return 0;
  }
  out.reset();
  const bool diagnostics = h.type_magic == kMagicDiagnostics;
  if (diagnostics) {
    puts("Launching diagnostics image");
    // The archive already holds the payload; it must still be writable for the launch.
    Fd again(open(kArchivePath, O_WRONLY));
    if (!again.ok()) {
      fprintf(stderr, "Failed to open diags image file.\n");
      board_reset();
    }
    api_set_booted_image(kRescueSlot);
  } else {
    ask_recovery_install(src, h);
  }
  launch_image(diagnostics);
  return 1;
}
