// USB boot: waiting for the stick, boot-loader and replacement bundles from it, the USB boot
// image, the list of images already tried, and the timed yes/no question.
#pragma once

#include <cstddef>

// 0 when the stick is ready or USB boot is off, -1 when the wait timed out.
int usb_mount();
// Installs the stick's boot-loader bundle and resets the board when it wrote something, or
// returns.
void usb_update_boot();
// 0 (nothing from USB), 1 or 2 (that slot was just replaced), 3 (boot the stick's image).
int usb_which_image();
// The MD5 digest of the file through the platform's md5sum: 1 with 32 hexadecimal characters and
// a NUL in digest (33 bytes), else 0.
int get_md5string(const char* path, char* digest);
// 1 when the file's content is on the rejected list.
int usb_is_image_rejected(const char* path);
// Puts the file's content on the rejected list.
void usb_add_image_to_reject_list(const char* path);
// Asks prompt with "(y/n) "; 1 for y, 0 for n, after 5 seconds without input, or when the
// console has reached its end.
int yesno_question(const char* prompt);
