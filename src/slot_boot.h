// The slot boot: the application (or diagnostics) record of the selected image slot, checked and
// written into the archive, with the fallback to the other slot and to the rescue partition; and
// the USB boot image as slot 3.
#pragma once

#include <cstdint>

// 1 during the second slot attempt.
extern uint8_t tried_alt_image;

// The image slot the board settings select: 2 when the setting is 2, else 1.
int which_image();
// Boots slot 1, 2 or 3. Returns 0 when the caller should try something else, 1 when the image
// was unpacked and the operator asked for the rescue menu (see launch_image); otherwise the
// application starts or the board is reset.
int extract_image(int slot);
// Scans an open bundle for its first application or diagnostics record; 1 when found, with the
// descriptor positioned at the record and header holding its first 20 bytes, else 0.
int parse_image(int fd, uint8_t* header);
// Fetches the debugger from the other slot's first record; 1 when its commands ran, else 0.
int extract_gdb(int slot);
