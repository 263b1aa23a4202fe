// The image bundle installer: puts every record of a known type of a bundle where it belongs,
// flash records into their partitions and application records into an image slot file.
//
// No byte of a record is written anywhere before its checksum over the whole record has passed.
// Flash records are held whole in memory (their partitions bound them at 15 MiB); application
// records are streamed twice, once to check them and once to copy them while checking again, so
// that memory stays bounded whatever their size. A record cut short by a power failure never
// passes for the installed version: its header is the last thing written.
#pragma once

#include <cstdint>

// Installs every record of a known type of the bundle at path; 1 when the end was reached and at
// least one record was written, else 0. With skip_same_version set, records whose version is
// installed already are skipped. slot 1 or 2 sends application records to that slot; 0 asks the
// operator, who may also boot the record at once, in which case the call does not return (but
// returns 0 when the operator then asks for the rescue menu: see launch_image).
uint8_t processVeskoImage(const char* path, uint8_t skip_same_version, int32_t slot);
// 1 when what is installed for the record's type carries the same header (header: the record's
// first 16 bytes; slot: 1 or 2, for application records).
int verifyMatchingHeaders(const uint8_t* header, int32_t slot);
// Fills buffer (16 bytes) with the header of the installed record of the given type (magic with
// bit 31 clear): the boot loader's embedded copy, the header at the start of a partition, or the
// first 16 bytes of an image slot file. 1 when the buffer was filled from an installed copy.
int read_flash_image_header(uint32_t magic, uint8_t* buffer, int32_t slot);
