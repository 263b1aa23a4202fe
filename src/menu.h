// The rescue menu on the serial console and its actions: download a bundle over the serial
// line, install one from the USB stick, show the installed versions, wipe /user and boot the
// diagnostics image, reboot, or leave the menu.
#pragma once

#include "console.h"

// The menu; returns 1 when the operator chooses Exit (or the console has reached its end), and
// does not return after Reboot.
int run_rescue_mode();
// When a boot unpacked an image and returned because the operator asked for the menu (see
// launch_image): runs the menu, and starts the image once it is left. Returns at once otherwise.
void start_after_menu();
// Lists the files at the top of the USB stick and installs the one chosen; the installer's
// result, or 0 when nothing was chosen.
int run_usb_rescue();
// Receives "/tmp/image" over the serial line and installs it; the installer's result, or 0 when
// nothing arrived.
int run_xmodem_rescue();
// Prints the versions of the installed images; always 0.
int run_image_display();
// Offers to erase /user, then boots the diagnostics image of the rescue partition; returns 1,
// and only when that image cannot be booted.
int run_standalone_diags();
