// USB boot: waiting for the stick, boot-loader and replacement bundles from it, and which image
// the start-up takes from it.
#pragma once

#include <cstdint>

// 1 while booting from the USB stick is allowed for this start.
extern uint8_t usb_boot_enabled;

// 0 when the stick is ready or USB boot is off, -1 when the wait timed out.
int usb_mount();
// Installs the stick's boot-loader bundle and resets the board when it wrote something, or
// returns.
void usb_update_boot();
// 0 (nothing from USB), 1 or 2 (that slot was just replaced), 3 (boot the stick's image).
int usb_which_image();
