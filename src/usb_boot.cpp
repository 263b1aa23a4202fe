#include "usb_boot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "crc.h"
#include "image.h"
#include "launch.h"

namespace {

// Checks of the readiness marker, one second apart.
constexpr int kMountChecks = 10;
constexpr int kAnswerWaitMs = 5000;
// Reads that deliver nothing before the question takes a console at its end for a no.
constexpr int kEmptyReads = 3;
constexpr size_t kDigestLength = 32;

bool exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// The marker of a digest on the rejected list.
void marker_path(const char* digest, char* path, size_t size) {
  snprintf(path, size, "/user/images/rejected/%s", digest);
}

// Installs the stick's replacement bundle for a slot. 1 when something was written, 0 when
// nothing was (no file, a failure, all the same version), -1 when the operator declined a
// rejected image: then nothing more is taken from the stick.
int replace_slot(int slot) {
  char name[32], path[48];
  snprintf(name, sizeof name, "QVM7314_replace%d_OS.img", slot);
  snprintf(path, sizeof path, "/mnt/usb/%s", name);
  if (!exists(path)) return 0;
  printf("USB image (file '%s') replacement for image%d found\n", name, slot);
  if (usb_is_image_rejected(path)) {
    if (!yesno_question(
            "Replacement USB image is in rejected list.\nWould you still like to load it? "))
      return -1;
    puts("Continuing with replacement USB image...");
  }
  if (!processVeskoImage(path, 1, slot)) return 0;
  printf("Image%d has been successfully replaced\n", slot);
  return 1;
}

}  // namespace

int usb_mount() {
  if (!usb_boot_enabled) return 0;
  printf("Attempting to mount file system on USB flash drive; this can take up to %d seconds.\n",
         kMountChecks);
  fflush(stdout);
  sleep(1);
  for (int check = 0; check < kMountChecks; ++check) {
    if (exists("/tmp/usb")) {
      puts("USB mounted and ready!");
      return 0;
    }
    printf(".");
    fflush(stdout);
    sleep(1);
  }
  puts("USB mount timed out");
  return -1;
}

void usb_update_boot() {
  const char* bundle = "/mnt/usb/QVM7314_Boot.img";
  if (!exists(bundle)) {
    puts("No boot image found on USB.");
    return;
  }
  puts("Boot image found on USB.");
  if (processVeskoImage(bundle, 1, 0)) board_reset();
}

int usb_which_image() {
  static const int kSlots[] = {2, 1};  // slot 1 last: when both are replaced, it is booted
  int chosen = 0;
  for (const int slot : kSlots) {
    const int replaced = replace_slot(slot);
    if (replaced < 0) return 0;
    if (replaced > 0) chosen = slot;
  }
  if (chosen != 0) {
    printf("USB replacement image: board will boot with image%d.\n", chosen);
    return chosen;
  }
  if (exists("/mnt/usb/QVM7314_OS.img")) return 3;
  puts("No valid image found on USB");
  return 0;
}

int get_md5string(const char* path, char* digest) {
  char line[256];
  snprintf(line, sizeof line, "/bin/busybox md5sum %s > /tmp/img_md5string", path);
  // The work file of an earlier digest must not pass for this file's: it goes first, and a shell
  // that cannot run gives no digest.
  unlink("/tmp/img_md5string");
  if (run_shell(line) < 0) return 0;
  const int fd = open("/tmp/img_md5string", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t n = pread_full(fd, digest, kDigestLength, 0);
  close(fd);
  if (n != static_cast<ssize_t>(kDigestLength)) return 0;
  // Anything but hexadecimal digits is no digest, and must not become part of a path.
  for (size_t i = 0; i < kDigestLength; ++i)
    if (!isxdigit(static_cast<unsigned char>(digest[i]))) return 0;
  digest[kDigestLength] = '\0';
  return 1;
}

int usb_is_image_rejected(const char* path) {
  char digest[kDigestLength + 1], marker[64];
  if (!get_md5string(path, digest)) {
    puts("Warning: Cannot determine if image is in rejected list!");
    return 0;
  }
  marker_path(digest, marker, sizeof marker);
  return exists(marker) ? 1 : 0;
}

void usb_add_image_to_reject_list(const char* path) {
  char digest[kDigestLength + 1], marker[64], line[96];
  if (!get_md5string(path, digest)) {
    puts("Warning: Cannot add image to rejected list!");
    return;
  }
  marker_path(digest, marker, sizeof marker);
  if (exists(marker)) return;
  run_shell("mkdir -p /user/images/rejected");
  snprintf(line, sizeof line, "touch %s", marker);
  run_shell(line);
}

int yesno_question(const char* prompt) {
  printf("%s", prompt);
  int empty_reads = 0;
  for (;;) {
    printf("(y/n) ");
    fflush(stdout);
    struct pollfd in = {0, POLLIN, 0};
    // A console at its end is always readable and never delivers: after a few such reads it
    // answers like silence.
    if (poll(&in, 1, kAnswerWaitMs) <= 0 || (in.revents & POLLIN) == 0 ||
        empty_reads == kEmptyReads) {
      puts("\nTimeout. Assuming \"no\".");
      return 0;
    }
    unsigned char key = 0;
    if (read(0, &key, 1) != 1) {
      ++empty_reads;
      continue;
    }
    if (key == 'y') return 1;
    if (key == 'n') return 0;
  }
}
