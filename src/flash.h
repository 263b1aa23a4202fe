// Flash partitions through the Linux MTD character devices: open once at start-up, read a range,
// rewrite a range block by block (read, merge, erase, write, verify), erase a range.
//
// The api_ layer returns 0 for success and -1 for failure; the inner flash_ and mtd_ layers
// return 1 for success and 0 for failure. All messages go to standard output.
#pragma once

#include <cstdint>

// Partition handles, opened by api_flash_init and kept for the whole run (-1 when not open).
extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;
extern int flash_fd;  // the kernel partition: the flash geometry is read from it

// Flash geometry. A total size of 0 means there is no usable flash: every api_flash_ operation
// then fails at once.
struct FlashGeometry {
  char name[128];
  uint32_t sector_count;
  uint32_t sector_size;
  uint32_t sector_shift;
  uint32_t total_size;
};
extern FlashGeometry theFlash;

// Trace switches: nonzero prints a line for every operation of that kind.
extern int debug_read;
extern int debug_write;
extern int debug_erase;

// Opens the partitions and reads the geometry; 0 when the flash is usable, else -1.
int api_flash_init();
// Copies length bytes from offset of the partition into buffer; 0 or -1.
int api_flash_read(void* buffer, int fd, uint32_t offset, uint32_t length);
// Rewrites length bytes at offset with the bytes at buffer; a nonzero show_progress draws the
// percentage display. 0 or -1.
int api_flash_write(const void* buffer, int fd, uint32_t offset, uint32_t length,
                    uint8_t show_progress);
// Rewrites like api_flash_write, but brings the range's first block to its new content after all
// the others, and within it the first 1024-byte piece last: a power cut in the middle leaves the
// record header that piece holds as it was, or erased. The progress display is the same.
int api_flash_write_first_block_last(const void* buffer, int fd, uint32_t offset, uint32_t length,
                                     uint8_t show_progress);
// Erases every block that the range touches; 0 or -1.
int api_flash_erase(int fd, uint32_t offset, uint32_t length);

// Inner layers (1 success, 0 failure). Note the length-before-offset order of the flash_ layer.
int flash_open();
int flash_read(void* buffer, int fd, uint32_t length, uint32_t offset);
int flash_write(const void* buffer, int fd, uint32_t length, uint32_t offset,
                uint8_t show_progress);
int flash_erase(int fd, uint32_t length, uint32_t offset);
int mtd_open();
int mtd_type();
int mtd_read(int fd, uint32_t offset, uint32_t length, void* buffer);
int mtd_write(int fd, uint32_t offset, uint32_t length, const void* buffer);
int mtd_erase(int fd, uint32_t offset, uint32_t length);
int mtd_get_size(int fd, uint32_t* size);
// Records the geometry the kernel partition reports. Refuses (message, total size 0, result 0)
// a size of 0 and an erase-block size that is not a power of two of at least 1024 bytes; 1
// when the flash is usable.
int flash_set_geometry(uint32_t size, uint32_t erase_size);

// Block arithmetic of a rewrite or erase, in unsigned 32-bit arithmetic with a power-of-two
// sector size.
struct BlockSpan {
  uint32_t first;  // address of the first block touched
  uint32_t last;   // last byte of the last block touched
  uint32_t count;  // blocks touched (0 for an empty range at a block boundary)
};
BlockSpan flash_block_span(uint32_t offset, uint32_t length, uint32_t sector_size,
                           uint32_t sector_shift);

// The part of block `index` of a span that the range covers: where it lands in the block and
// how many source bytes it takes. `consumed` is the number of source bytes used by earlier blocks.
struct BlockPortion {
  uint32_t dest_offset;
  uint32_t size;
};
BlockPortion flash_block_portion(const BlockSpan& span, uint32_t index, uint32_t block_address,
                                 uint32_t offset, uint32_t length, uint32_t consumed,
                                 uint32_t sector_size);
