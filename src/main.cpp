// The launcher's entry: runs once per power-up and ends in the application or a board reset.
#include <cstdio>

#include "board.h"
#include "flash.h"
#include "i2c.h"
#include "menu.h"
#include "options.h"
#include "slot_boot.h"
#include "usb_boot.h"

namespace {

// Lets a USB stick update the board or boot from it; the slot to boot, or 0 for none.
int usb_boot_slot() {
  usb_boot_enabled = api_get_usbboot() == kUsbBootEnabled ? 1 : 0;
  if (usb_boot_enabled && usb_mount() < 0) usb_boot_enabled = 0;
  if (!usb_boot_enabled) return 0;
  usb_update_boot();
  const int chosen = usb_which_image();
  if (chosen != 3) return chosen;
  printf("Booting image '%s' from USB stick.\n", "QVM7314_OS.img");
  if (extract_image(3) != 0) start_after_menu();
  puts("USB Boot failed. Trying flash images.");
  return 0;
}

}  // namespace

int main() {
  sig_init();
  api_i2c_init();
  api_flash_init();
  parse_uboot_env();
  run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
  if (rescue_enable) run_rescue_mode();
  if (standalone_diags) {
    run_standalone_diags();
    start_after_menu();
  }
  int chosen = usb_boot_slot();
  if (chosen == 0) chosen = which_image();
  printf("Booting image '%d'\n", chosen);
  if (extract_image(chosen) == 0) {
    const int other = chosen == 1 ? 2 : 1;
    printf("Booting image '%d'\n", other);
    tried_alt_image = 1;
    extract_image(other);
  }
  start_after_menu();
  board_reset();
}
