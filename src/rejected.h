// The list of images already tried from the USB stick, by the MD5 digest of their content, and
// the timed yes/no question put when one comes up again.
#pragma once

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
