#include "flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;
int flash_fd = -1;

FlashGeometry theFlash = {"unknown", 0, 0, 0, 0};

int debug_read = 0;
int debug_write = 0;
int debug_erase = 0;

namespace {

// Blocks are written back in pieces of this size.
constexpr uint32_t kPiece = 1024;

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using Scratch = std::unique_ptr<uint8_t, FreeDeleter>;

// The trace lines print 32-bit values with %lx, which needs a long on every target.
unsigned long ul(uint32_t v) {
  return v;
}
unsigned long address_of(const void* p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

// Last byte of a range; wraps like the device's own 32-bit arithmetic for a zero length.
uint32_t last_byte(uint32_t offset, uint32_t length) {
  return offset + length - 1;
}

// A range whose end lies beyond 4 GiB would wrap the block arithmetic back to the start of the
// partition and make a block's portion larger than the block; one whose blocks cover all 4 GiB
// wraps the block count to 0 and would report success having written nothing.
bool range_fits(uint32_t offset, uint32_t length, const BlockSpan& span) {
  if (length == 0) return true;
  return length - 1 <= UINT32_MAX - offset && span.count != 0;
}

// The write pieces must tile a block exactly, and the block arithmetic needs a power of two.
bool erase_size_supported(uint32_t size) {
  return size >= kPiece && (size & (size - 1)) == 0;
}

uint32_t lowest_set_bit(uint32_t value) {
  uint32_t shift = 0;
  while (shift < 32 && (value & (1u << shift)) == 0) ++shift;
  return shift;
}

bool transferred_all(ssize_t done, uint32_t length) {
  return done >= 0 && static_cast<size_t>(done) == length;
}

// With first_piece_last the piece at the block's start goes out after all the others.
bool write_pieces(int fd, uint32_t address, uint32_t size, const uint8_t* block,
                  bool first_piece_last) {
  for (uint32_t j = first_piece_last ? kPiece : 0; j < size; j += kPiece) {
    if (!mtd_write(fd, address + j, kPiece, block + j)) return false;
  }
  return !first_piece_last || mtd_write(fd, address, kPiece, block);
}

// Reads the block back piece by piece, so that no second block of memory is needed.
bool verify_pieces(int fd, uint32_t address, uint32_t size, const uint8_t* block) {
  uint8_t check[kPiece];
  for (uint32_t j = 0; j < size; j += kPiece) {
    if (!mtd_read(fd, address + j, kPiece, check)) return false;
    if (memcmp(check, block + j, kPiece) != 0) return false;
  }
  return true;
}

// Brings one block to its new content. The block is always read first; when the range's bytes
// are already there it is left alone, which spares the flash an erase cycle (reinstalling the
// same image erases nothing). Returns the failure message, or nullptr.
const char* rewrite_block(int fd, uint32_t address, uint32_t size, uint8_t* scratch,
                          const uint8_t* source, BlockPortion portion, bool first_piece_last) {
  memset(scratch, 0, size);
  if (!mtd_read(fd, address, size, scratch)) return "Flash Write mtd read failed.";
  uint8_t* dest = scratch + portion.dest_offset;
  if (portion.size == 0 || memcmp(dest, source, portion.size) == 0) return nullptr;
  memcpy(dest, source, portion.size);
  if (!mtd_erase(fd, address, size)) return "Flash Write mtd erase failed.";
  if (!write_pieces(fd, address, size, scratch, first_piece_last))
    return "Flash Write mtd write failed.";
  if (!verify_pieces(fd, address, size, scratch)) return "Flash Write mtd write failed.";
  return nullptr;
}

int write_failed(const char* message) {
  printf("%s\n\n", message);
  return 0;
}

// The display shows the share of blocks finished before this one; 100% is drawn at the end.
void progress_step(uint32_t index, uint32_t count) {
  const auto percent = static_cast<int>(uint64_t{index} * 100 / count);
  printf("\b\b\b\b%3.3d%c", percent, '%');
  fflush(stdout);
}

void trace_span(const char* what, uint32_t offset, uint32_t length, const BlockSpan& span) {
  printf("Flash %s 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n", what, ul(offset),
         ul(last_byte(offset, length)), ul(span.first), ul(span.last),
         static_cast<long>(span.count));
}

}  // namespace

BlockSpan flash_block_span(uint32_t offset, uint32_t length, uint32_t sector_size,
                           uint32_t sector_shift) {
  const uint32_t mask = 0u - sector_size;
  BlockSpan span;
  span.first = offset & mask;
  span.last = (last_byte(offset, length) & mask) + sector_size - 1;
  const uint32_t bytes = span.last - span.first + 1;
  span.count = sector_shift < 32 ? bytes >> sector_shift : 0;
  return span;
}

BlockPortion flash_block_portion(const BlockSpan& span, uint32_t index, uint32_t block_address,
                                 uint32_t offset, uint32_t length, uint32_t consumed,
                                 uint32_t sector_size) {
  if (span.count == 1) return {offset - block_address, length};
  if (index == 0) return {offset - block_address, sector_size - (offset - block_address)};
  if (index == span.count - 1) return {0, length - consumed};
  return {0, sector_size};
}

int flash_set_geometry(uint32_t size, uint32_t erase_size) {
  if (size == 0) {
    theFlash.total_size = 0;
    printf("NO FLASH !\n");
    return 0;
  }
  if (!erase_size_supported(erase_size)) {
    theFlash.total_size = 0;
    printf("Unsupported MTD erase size 0x%x\n", erase_size);
    return 0;
  }
  theFlash.sector_count = size / erase_size;
  theFlash.sector_size = erase_size;
  theFlash.sector_shift = lowest_set_bit(erase_size);
  snprintf(theFlash.name, sizeof theFlash.name, "%dMB w/%ld-%ldKB sectors",
           static_cast<int>(size >> 20), static_cast<long>(theFlash.sector_count),
           static_cast<long>(erase_size >> 10));
  theFlash.total_size = size;
  return 1;
}

int mtd_open() {
  uboot_fd = open("/dev/mtd-uboot", O_RDWR | O_SYNC);
  uboot_env_fd = open("/dev/mtd-ubootenv", O_RDWR | O_SYNC);
  device_tree_fd = open("/dev/mtd-devicetree", O_RDWR | O_SYNC);
  kernel_fd = open("/dev/mtd-kernel", O_RDWR | O_SYNC);
  rfs_fd = open("/dev/mtd-rfs", O_RDWR | O_SYNC);
  rescue_fd = open("/dev/mtd-rescue", O_RDWR);
  flash_fd = kernel_fd;
  return 1;
}

// The geometry of the kernel partition stands for every partition.
int mtd_type() {
  mtd_info_user info{};
  if (ioctl(flash_fd, MEMGETINFO, &info) < 0) {
    printf("Could not get MTD device info \n");
    return 0;
  }
  return flash_set_geometry(info.size, info.erasesize);
}

int mtd_get_size(int fd, uint32_t* size) {
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) < 0) return 0;
  *size = info.size;
  return 1;
}

int mtd_read(int fd, uint32_t offset, uint32_t length, void* buffer) {
  if (debug_read) {
    printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", ul(offset), ul(last_byte(offset, length)),
           address_of(buffer));
  }
  return transferred_all(pread(fd, buffer, length, static_cast<off_t>(offset)), length) ? 1 : 0;
}

int mtd_write(int fd, uint32_t offset, uint32_t length, const void* buffer) {
  if (debug_write) {
    printf("mtd write 0x%08lx to 0x%08lx 0x%08lx\n", ul(offset), ul(last_byte(offset, length)),
           address_of(buffer));
  }
  return transferred_all(pwrite(fd, buffer, length, static_cast<off_t>(offset)), length) ? 1 : 0;
}

int mtd_erase(int fd, uint32_t offset, uint32_t length) {
  if (debug_erase) {
    printf("mtd erase 0x%08lx to 0x%08lx\n", ul(offset), ul(last_byte(offset, length)));
  }
  erase_info_user request{};
  request.start = offset;
  request.length = length;
  return ioctl(fd, MEMERASE, &request) < 0 ? 0 : 1;
}

int flash_open() {
  mtd_open();
  return mtd_type();
}

int flash_read(void* buffer, int fd, uint32_t length, uint32_t offset) {
  if (debug_read) {
    printf("Flash Read 0x%08lx to 0x%08lx\n", ul(offset), ul(last_byte(offset, length)));
  }
  return mtd_read(fd, offset, length, buffer);
}

namespace {

// Source bytes that the blocks before block `index` of a span take.
uint32_t consumed_before(const BlockSpan& span, uint32_t index, uint32_t offset, uint32_t size) {
  if (index == 0) return 0;
  return size - (offset - span.first) + (index - 1) * size;
}

// Rewrites the blocks of the range in order, or with the first block last and its first piece
// last of all: a record's header, which names the version installed, then reaches the flash only
// once every other byte of the record is there, so that a write cut short by a power failure
// never passes for the record.
int rewrite_range(const void* buffer, int fd, uint32_t length, uint32_t offset,
                  uint8_t show_progress, bool first_block_last) {
  const uint32_t size = theFlash.sector_size;
  const BlockSpan span = flash_block_span(offset, length, size, theFlash.sector_shift);
  // The extra piece keeps the last 1024-byte write inside the buffer.
  Scratch scratch(static_cast<uint8_t*>(malloc(size_t{size} + kPiece)));
  if (debug_write) trace_span("Write", offset, length, span);
  if (!scratch) {
    printf("Flash Write malloc failed\n");
    return 0;
  }
  if (!range_fits(offset, length, span)) return write_failed("Flash Write range out of bounds.");
  if (show_progress) printf("     ");
  const auto* source = static_cast<const uint8_t*>(buffer);
  for (uint32_t done = 0; done < span.count; ++done) {
    const uint32_t i = first_block_last ? (done + 1) % span.count : done;
    const uint32_t address = span.first + i * size;
    const uint32_t consumed = consumed_before(span, i, offset, size);
    const BlockPortion portion =
        flash_block_portion(span, i, address, offset, length, consumed, size);
    const char* failure = rewrite_block(fd, address, size, scratch.get(), source + consumed,
                                        portion, first_block_last && i == 0);
    if (failure != nullptr) return write_failed(failure);
    if (show_progress) progress_step(done, span.count);
  }
  if (show_progress) printf("\b\b\b\b100%c\n", '%');
  fflush(stdout);
  return 1;
}

}  // namespace

int flash_write(const void* buffer, int fd, uint32_t length, uint32_t offset,
                uint8_t show_progress) {
  return rewrite_range(buffer, fd, length, offset, show_progress, false);
}

int flash_erase(int fd, uint32_t length, uint32_t offset) {
  const uint32_t size = theFlash.sector_size;
  const BlockSpan span = flash_block_span(offset, length, size, theFlash.sector_shift);
  if (debug_erase) trace_span("Erase", offset, length, span);
  if (!range_fits(offset, length, span)) {
    printf("Flash Erase range out of bounds.\n");
    return 0;
  }
  uint32_t address = span.first;
  for (uint32_t i = 0; i < span.count; ++i, address += size) {
    if (!mtd_erase(fd, address, size)) {
      printf("Flash Erase mtd erase failed.\n");
      return 0;
    }
  }
  return 1;
}

int api_flash_init() {
  return flash_open() == 1 ? 0 : -1;
}

int api_flash_read(void* buffer, int fd, uint32_t offset, uint32_t length) {
  if (theFlash.total_size == 0) return -1;
  return flash_read(buffer, fd, length, offset) == 1 ? 0 : -1;
}

int api_flash_write(const void* buffer, int fd, uint32_t offset, uint32_t length,
                    uint8_t show_progress) {
  if (theFlash.total_size == 0) return -1;
  return flash_write(buffer, fd, length, offset, show_progress) == 1 ? 0 : -1;
}

int api_flash_write_first_block_last(const void* buffer, int fd, uint32_t offset, uint32_t length,
                                     uint8_t show_progress) {
  if (theFlash.total_size == 0) return -1;
  return rewrite_range(buffer, fd, length, offset, show_progress, true) == 1 ? 0 : -1;
}

int api_flash_erase(int fd, uint32_t offset, uint32_t length) {
  if (theFlash.total_size == 0) return -1;
  return flash_erase(fd, length, offset) == 1 ? 0 : -1;
}
