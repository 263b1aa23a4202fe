#include "usb_boot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "board.h"
#include "installer.h"
#include "rejected.h"

uint8_t usb_boot_enabled = 0;

namespace {

// Checks of the readiness marker, one second apart.
constexpr int kMountChecks = 10;

bool exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
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
