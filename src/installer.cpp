#include "installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "console.h"
#include "flash.h"
#include "i2c.h"
#include "launch.h"
#include "record.h"
#include "stream.h"

namespace {

// Bundles are read, and slot files written, in pieces of this size.
constexpr size_t kChunk = 0x10000;
uint8_t chunk_buf[kChunk];

// The header bytes that name an installed version.
constexpr uint32_t kVersionBytes = 16;

// What a flash record is called and where it goes; how big it may be is partition_limit's.
struct FlashRecord {
  uint32_t magic;
  const char* announcement;
  const char* bad_crc;
  const char* too_big;
  const char* failed;
  const int* fd;
  // The boot loader is stored without its header: its size limit applies to the payload, and
  // its version is read from the copy of the header that the payload carries at this offset.
  bool payload_only;
  uint32_t header_at;
};

const FlashRecord kFlashRecords[] = {
    {kMagicKernel, "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n",
     "KERNEL image is too big for flash (%u > %u)\n", "kernel image update failed", &kernel_fd,
     false, 0},
    {kMagicDeviceTree, "Installing Device Tree: ", "Bad crc for DFT: 0x%08x, voiding download\n",
     "DFT image is too big for flash (%u > %u)\n", "DFT image update failed", &device_tree_fd,
     false, 0},
    {kMagicDiagnostics,
     "Installing Diagnostics: ", "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
     "DIAGS image is too big for flash (%u > %u)\n", "DIAGS image update failed", &rescue_fd,
     false, 0},
    {kMagicRootFs, "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n",
     "RFS image is too big for flash (%u > %u)\n", "RFS image update failed", &rfs_fd, false, 0},
    {kMagicBootLoader, "Installing Boot Loader: ", "Bad crc for UBOOT: 0x%08x, voiding download\n",
     "UBOOT image is too big for flash (%u > %u)\n", "Uboot image update failed", &uboot_fd, true,
     kEmbeddedHeaderOffset},
};

const FlashRecord* flash_record(uint32_t type_magic) {
  for (const FlashRecord& k : kFlashRecords)
    if (k.magic == type_magic) return &k;
  return nullptr;
}

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

// One record of the bundle being installed.
struct Record {
  int fd;              // the bundle
  uint64_t offset;     // of the record's first byte
  uint64_t available;  // bytes from there to the end of the bundle
  const uint8_t* raw;  // the record's first 20 bytes
  RecordHeader hdr;
  RecordShape shape;
};

// Handling of one record: written, skipped, or failed (its message printed; the call ends).
enum class Outcome { kWritten, kSkipped, kFailed };

// Computes the record check from the bundle; true when the record is whole and matches. The
// checksum of what the bundle holds of the record is left in *computed either way.
bool record_good(const Record& r, uint32_t* computed) {
  const bool whole = record_crc_fd(r.fd, r.offset, r.hdr, chunk_buf, kChunk, computed) == 0;
  return whole && r.shape == RecordShape::kOk && *computed == r.hdr.crc;
}

// Streams the record from the bundle into out and checks it again on the way (the bytes from
// `from` on; with hold_header the first 16 of them go out as zeros, written last by the caller;
// the percentage drawn after each piece when progress is set). 0, or the error number of the
// read or write that failed; EIO when the bytes read no longer match the checksum that the check
// pass saw.
int copy_record(const Record& r, int out, uint64_t from, bool hold_header, bool progress) {
  StreamCopy copy;
  copy.out_fd = out;
  copy.from = from;
  copy.hold_header = hold_header;
  copy.progress = progress;
  copy.stop_on_write_error = true;
  return stream_record(RecordSource{r.fd, false, r.offset}, r.hdr, copy);
}

// ---- Flash records --------------------------------------------------------------------------

// True when the partition already holds these bytes from offset 0.
bool flash_holds(int fd, const uint8_t* data, uint32_t length) {
  for (uint32_t at = 0; at < length;) {
    const uint32_t n = length - at < kChunk ? length - at : static_cast<uint32_t>(kChunk);
    if (api_flash_read(chunk_buf, fd, at, n) != 0 || memcmp(chunk_buf, data + at, n) != 0)
      return false;
    at += n;
  }
  return true;
}

// The header is written last, but a partition that already carries this record's header and is
// about to receive other bytes (the same version built again, reinstalled from the menu) would
// pass for the new record if the write were cut short. Its header is cleared first.
void clear_matching_header(const FlashRecord& k, const Record& r, const uint8_t* data,
                           uint32_t length) {
  if (k.header_at + kVersionBytes > length) return;  // the write does not reach it
  if (!verifyMatchingHeaders(r.raw, 0) || flash_holds(*k.fd, data, length)) return;
  static const uint8_t zeros[kVersionBytes] = {};
  api_flash_write(zeros, *k.fd, k.header_at, kVersionBytes, 0);
}

// Reads a record that fits its partition whole into memory and checks it there, so that the
// bytes written are the bytes checked.
bool read_whole(const Record& r, uint8_t* data, uint32_t* computed) {
  const ssize_t got = pread_full(r.fd, data, static_cast<size_t>(r.hdr.total_size), r.offset);
  const size_t n = got < 4 ? 4 : static_cast<size_t>(got);
  *computed = gen_crc(data + 4, static_cast<uint32_t>(n - 4), kCrcInit);
  return got == static_cast<ssize_t>(r.hdr.total_size) && *computed == r.hdr.crc;
}

Outcome install_flash(const Record& r, const FlashRecord& k, uint8_t skip, int32_t slot) {
  const uint64_t tested = k.payload_only ? r.hdr.len : r.hdr.total_size;
  const uint32_t limit = partition_limit(k.magic);
  const bool fits = r.shape == RecordShape::kOk && tested <= limit;
  Buffer data;
  if (fits) {
    data.reset(static_cast<uint8_t*>(malloc(static_cast<size_t>(r.hdr.total_size))));
    if (!data) {
      printf("Failed to allocate buffer for image (%d)\n", static_cast<int>(r.hdr.total_size));
      return Outcome::kFailed;
    }
  }
  printf("%s", k.announcement);
  fflush(stdout);
  uint32_t computed = 0;
  // A record too big for its partition is only streamed through the check.
  if (!(fits ? read_whole(r, data.get(), &computed) : record_good(r, &computed))) {
    printf(k.bad_crc, computed);
    return Outcome::kFailed;
  }
  if (!fits) {
    printf(k.too_big, static_cast<unsigned>(tested), limit);
    return Outcome::kFailed;
  }
  if (skip && verifyMatchingHeaders(r.raw, slot)) {
    puts("Image has same version as existing image. Skipping update...");
    return Outcome::kSkipped;
  }
  const uint8_t* bytes = data.get() + (k.payload_only ? r.hdr.payload_offset : 0);
  const auto length = static_cast<uint32_t>(k.payload_only ? r.hdr.len : r.hdr.total_size);
  clear_matching_header(k, r, bytes, length);
  if (api_flash_write_first_block_last(bytes, *k.fd, 0, length, 1) < 0) {
    puts(k.failed);
    return Outcome::kFailed;
  }
  if (k.magic == kMagicDiagnostics) puts("done");
  return Outcome::kWritten;
}

// ---- Application records --------------------------------------------------------------------

// Asks where an application record goes: 1 or 2, or 0 to boot it without installing (also the
// answer of a console at its end and of the interrupt key).
int32_t ask_slot() {
  printf("Install image as image 1 or 2 (hit return to just boot image): ");
  fflush(stdout);
  char answer[32];
  if (get_user_input(answer, sizeof answer) == nullptr) return 0;
  if (answer[0] == '1') return 1;
  if (answer[0] == '2') return 2;
  return 0;
}

// Unpacks the record's payload into the archive and starts it; returns only when it cannot, or
// when the operator asked for the rescue menu (see launch_image). The bundle is opened
// close-on-exec, so the application does not inherit it.
void boot_record(const Record& r) {
  puts("Booting downloaded image");
  const int out = open(kArchivePath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = out < 0 ? errno : copy_record(r, out, r.hdr.payload_offset, false, false);
  if (out >= 0) close(out);
  if (err != 0) {
    printf("Image unpack failed (err %d)\n", err);
    return;
  }
  puts("Image ready to boot...");
  launch_image(false);
}

// Writes the whole record into the file at path. The first 16 bytes go out as zeros and get the
// header once everything else is on the file system: a file cut short never passes for an
// installed version, and the boot path calls it an invalid header. The slot becomes the selected
// image before the header goes on: a complete file is skipped as the same version by a repeated
// install, which would then never select it. Returns 0 or the error number of what failed.
int write_slot_file(const Record& r, const char* path, int32_t slot) {
  const int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return errno;
  printf("    ");
  int err = copy_record(r, out, 0, true, true);
  if (err == 0 && fsync(out) != 0) err = errno;
  if (err == 0) api_set_image(static_cast<uint8_t>(slot));
  if (err == 0 && (pwrite(out, r.raw, kVersionBytes, 0) != kVersionBytes || fsync(out) != 0))
    err = errno;
  close(out);
  return err;
}

// Whether /user has room for the record beside the slot file it replaces, with a sixteenth more
// and one erase block for the file system's own bookkeeping.
bool room_beside(uint64_t total) {
  struct statvfs fs;
  if (statvfs("/user", &fs) != 0) return true;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize >= total + total / 16 + kChunk;
}

// Installs the record as the slot's file. It is written beside the slot file and renamed into
// its place once it is complete and on flash (a rename is atomic on jffs2): a failed copy or a
// power cut leaves the slot with the image it had. When /user cannot hold both, the slot file is
// written in place.
int install_slot_file(const Record& r, int32_t slot) {
  struct stat st;
  if (stat("/user/images", &st) != 0) mkdir("/user/images", 0755);
  char path[32], fresh[40];
  snprintf(path, sizeof path, "/user/images/image%d", slot);
  if (!room_beside(r.hdr.total_size)) return write_slot_file(r, path, slot);
  snprintf(fresh, sizeof fresh, "%s.new", path);
  int err = write_slot_file(r, fresh, slot);
  if (err == 0 && rename(fresh, path) != 0) err = errno;
  if (err != 0) {
    unlink(fresh);
    return err;
  }
  // The rename itself is on flash only with its directory.
  const int dir = open("/user/images", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return 0;
}

Outcome install_application(const Record& r, uint8_t skip, int32_t* slot) {
  printf("Installing Application: ");
  fflush(stdout);
  uint32_t computed = 0;
  if (!record_good(r, &computed)) {
    printf("Bad crc for APPLICATION: 0x%08x, voiding download\n", computed);
    return Outcome::kFailed;
  }
  if (*slot == 0) *slot = ask_slot();
  if (*slot == 0) {
    boot_record(r);
    return Outcome::kFailed;
  }
  printf("Installing image as image%d: ", *slot);
  fflush(stdout);
  if (skip && verifyMatchingHeaders(r.raw, *slot)) {
    printf("Image%d has same version as existing image. Skipping update...\n", *slot);
    return Outcome::kSkipped;
  }
  const int err = install_slot_file(r, *slot);
  if (err != 0) {
    printf("Image%d update failed (err %d)\n", *slot, err);
    return Outcome::kFailed;
  }
  printf("\b\b\b\b100%c\n", '%');
  printf("\nImage%d updated succeeded\n", *slot);
  return Outcome::kWritten;
}

// ---- The bundle -----------------------------------------------------------------------------

// Only a regular file is a bundle. The open does not wait, so that a FIFO on a USB stick cannot
// hold the board.
int open_bundle(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
  if (fd >= 0) close(fd);
  printf("Unable to open image file %s\n", path);
  return -1;
}

uint8_t install_records(int fd, uint8_t skip, int32_t slot) {
  uint8_t installed = 0;
  BundleWalk walk;
  BundleRecord rec;
  if (bundle_walk_begin(&walk, fd)) {
    while (bundle_walk_next(&walk, &rec)) {
      const uint32_t words[4] = {rec.hdr.crc, rec.hdr.len, rec.hdr.magic, rec.hdr.id};
      display_header(words, 0);
      const Record r = {fd, rec.offset, walk.file_size - rec.offset, rec.raw, rec.hdr, rec.shape};
      Outcome done = Outcome::kSkipped;
      if (rec.hdr.type_magic == kMagicApplication)
        done = install_application(r, skip, &slot);
      else if (const FlashRecord* k = flash_record(rec.hdr.type_magic))
        done = install_flash(r, *k, skip, slot);
      if (done == Outcome::kFailed) return 0;
      if (done == Outcome::kWritten) installed = 1;
    }
  }
  puts("File processed");
  return installed;
}

}  // namespace

uint8_t processVeskoImage(const char* path, uint8_t skip_same_version, int32_t slot) {
  const int fd = open_bundle(path);
  if (fd < 0) return 0;
  puts("\nExtracting images ... Do *NOT* power cycle the switch.");
  const uint8_t installed = install_records(fd, skip_same_version, slot);
  close(fd);
  return installed;
}

int verifyMatchingHeaders(const uint8_t* header, int32_t slot) {
  const uint32_t type = get_be32(header + 8) & ~kMagicExtended;
  uint8_t installed[kVersionBytes];
  if (!read_flash_image_header(type, installed, slot)) return 0;
  // The boot loader's copy of its header does not carry the record's checksum.
  const size_t from = type == kMagicBootLoader ? 4 : 0;
  return memcmp(installed + from, header + from, kVersionBytes - from) == 0 ? 1 : 0;
}

int read_flash_image_header(uint32_t magic, uint8_t* buffer, int32_t slot) {
  if (buffer == nullptr) return 0;
  memset(buffer, 0, kVersionBytes);
  if (magic == kMagicApplication) {
    char path[32];
    snprintf(path, sizeof path, "/user/images/image%d", slot);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    // A shorter file leaves the rest zero.
    if (pread_full(fd, buffer, kVersionBytes, 0) < 0) memset(buffer, 0, kVersionBytes);
    close(fd);
    return 1;
  }
  const FlashRecord* k = flash_record(magic);
  if (k == nullptr) {
    printf("Unknown image type 0x%x \n", magic);
    return 0;
  }
  // A failed read leaves zeros, which match nothing.
  api_flash_read(buffer, *k->fd, k->header_at, kVersionBytes);
  return 1;
}
