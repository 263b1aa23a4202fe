#include "usb_boot.h"

// USB boot is not built yet: the stick is never reported ready, so the boot sequence goes on
// from flash, and the rejected list is empty.

int usb_mount() {
  return -1;
}

void usb_update_boot() {}

int usb_which_image() {
  return 0;
}

int usb_is_image_rejected(const char*) {
  return 0;
}

void usb_add_image_to_reject_list(const char*) {}

int yesno_question(const char*) {
  return 0;
}
