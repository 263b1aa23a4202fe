// The last resort: the record at the start of the rescue flash partition, booted when neither
// slot file can be opened or holds a bootable record; an application record there may first be
// installed into a slot.
#pragma once

// Boots the rescue partition's record. Returns 0 when it cannot (the caller resets the board), 1
// when the image was unpacked and the operator asked for the rescue menu (see launch_image);
// otherwise the application starts or the board is reset.
int extract_image_from_flash();
