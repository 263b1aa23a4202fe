// The image bundle installer.
#pragma once

#include <cstdint>

// Installs every record of a known type of the bundle at path; 1 when the end was reached and at
// least one record was written, else 0. Does not return when an application record is booted
// without being installed.
uint8_t processVeskoImage(const char* path, uint8_t skip_same_version, int32_t slot);
// 1 when what is installed for the record's type carries the same header.
int verifyMatchingHeaders(const uint8_t* header, int32_t slot);
// Fills buffer (16 bytes) with the header of the installed record of the given type.
int read_flash_image_header(uint32_t magic, uint8_t* buffer, int32_t slot);
