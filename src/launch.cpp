#include "launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "crc.h"
#include "flash.h"
#include "i2c.h"
#include "rescue.h"
#include "usb_boot.h"

volatile uint8_t sig_quit_raised = 0;
uint8_t usb_boot_enabled = 0;
uint8_t tried_alt_image = 0;

int gdb_enable = 0;
int gdbserver_enable = 0;
uint8_t shell_enable = 0;
uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;
int32_t gdbport = 1234;

char stringbuff[256];

namespace {

constexpr const char* kSlotFiles[] = {nullptr, "/user/images/image1", "/user/images/image2"};
constexpr const char* kUsbImage = "/mnt/usb/QVM7314_OS.img";
constexpr const char* kAppPath = "/tmp/home/bin/mp.elf.strip";
constexpr uint32_t kEnvOffset = 4;
constexpr uint32_t kEnvSize = 1280;
constexpr uint8_t kRescueSlot = 4;

// Records are streamed through this buffer (flash) or a window of this size (slot files): memory
// use does not grow with the record size.
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kWindow = 512 * 1024;
uint8_t chunk_buf[kChunk];

int other_slot(int slot) {
  return slot == 1 ? 2 : 1;
}

bool file_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Closes a descriptor when it goes out of scope, so that every return path closes it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

[[noreturn]] void shell_then_reset() {
  if (shell_enable) run_shell("/bin/sh\n");
  board_reset();
}

}  // namespace

// ---- Start-up helpers -----------------------------------------------------------------------

int run_shell(const char* line) {
  // What was printed so far must reach the console before the command's own output.
  fflush(stdout);
  fflush(stderr);
  return system(line);
}

void sig_handler(int) {
  sig_quit_raised = 1;
}

int sig_init() {
  struct sigaction sa = {};
  sa.sa_handler = sig_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: an interrupted console read returns early
  return sigaction(SIGINT, &sa, nullptr);
}

int which_image() {
  return api_get_image() == 2 ? 2 : 1;
}

void board_reset() {
  sleep(1);
  if (run_shell("reboot") < 0) fprintf(stderr, "System reboot failed, please power-cycle.\n");
  fflush(stdout);
  exit(0);
}

// ---- Boot options ---------------------------------------------------------------------------

namespace {

// The text right after the first occurrence of key, wherever it stands; nullptr when absent.
const char* value_after(const char* text, const char* key) {
  const char* at = strstr(text, key);
  return at ? at + strlen(key) : nullptr;
}

bool has_prefix(const char* value, const char* word) {
  return strncmp(value, word, strlen(word)) == 0;
}

// A decimal number as "%d" reads it (white space, sign, digits); false when there is none or
// when it does not fit an int.
bool read_decimal(const char* value, int32_t* out) {
  char* end = nullptr;
  errno = 0;
  const long n = strtol(value, &end, 10);
  if (end == value || errno == ERANGE || n < INT32_MIN || n > INT32_MAX) return false;
  *out = static_cast<int32_t>(n);
  return true;
}

}  // namespace

void parse_env_text(const char* text) {
  if (const char* v = value_after(text, "gdb=")) gdb_enable = has_prefix(v, "on");
  if (const char* v = value_after(text, "gdbserver=")) {
    gdbserver_enable = has_prefix(v, "on");
    if (gdbserver_enable) gdb_enable = 1;
  }
  if (const char* v = value_after(text, "gdbport=")) read_decimal(v, &gdbport);
  if (const char* v = value_after(text, "shell=")) shell_enable = has_prefix(v, "on");
  if (const char* v = value_after(text, "memchk=")) memchk_enable = has_prefix(v, "on");
  if (const char* v = value_after(text, "diagnostics=")) {
    rescue_enable = has_prefix(v, "rescue");
    standalone_diags = has_prefix(v, "diags");
  }
}

int parse_uboot_env() {
  static char env[kEnvSize + 1];
  if (api_flash_read(env, uboot_env_fd, kEnvOffset, kEnvSize) != 0) return 0;
  // Variables end in NUL bytes; as spaces they make one searchable text.
  for (uint32_t i = 0; i < kEnvSize; ++i)
    if (env[i] == 0) env[i] = ' ';
  env[kEnvSize] = 0;
  parse_env_text(env);
  return 1;
}

// ---- Records --------------------------------------------------------------------------------

namespace {

// Where a record is read from: a slot file, or the rescue flash partition.
struct RecordSource {
  int fd;
  bool flash;
  uint64_t base;  // offset of the record's first byte
  // Slot files are read through a mapped window. A file on the USB stick is not: a stick pulled
  // out under a mapping kills the process, where a plain read merely fails.
  bool mappable = false;
};

bool read_source(const RecordSource& src, uint8_t* buf, uint64_t offset, size_t len) {
  const uint64_t at = src.base + offset;
  if (src.flash) {
    if (at > UINT32_MAX) return false;
    return api_flash_read(buf, src.fd, static_cast<uint32_t>(at), static_cast<uint32_t>(len)) == 0;
  }
  return pread_full(src.fd, buf, len, at) == static_cast<ssize_t>(len);
}

void write_all(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full /tmp shows up as a broken archive when it is unpacked
    data += n;
    len -= static_cast<size_t>(n);
  }
}

// Feeds one piece of the record (its bytes from `pos` on) to the check, and the part of it from
// `copy_from` on to out_fd.
void take_piece(const uint8_t* data, uint64_t pos, size_t n, uint64_t copy_from, int out_fd,
                uint32_t* crc) {
  const size_t skip = pos < 4 ? static_cast<size_t>(4 - pos) : 0;  // the crc word itself
  if (n > skip) *crc = gen_crc(data + skip, static_cast<uint32_t>(n - skip), *crc);
  if (pos + n > copy_from) {
    const size_t from = pos >= copy_from ? 0 : static_cast<size_t>(copy_from - pos);
    write_all(out_fd, data + from, n - from);
  }
}

// A slot file is read through a sliding window of its page cache instead of being copied into
// the buffer: one copy less per byte on the boot's longest step. Returns nullptr when the window
// cannot be mapped; *base receives the mapping to release with munmap.
const uint8_t* map_window(const RecordSource& src, uint64_t pos, size_t n, void** base,
                          size_t* mapped) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t at = src.base + pos;
  const uint64_t start = at - at % page;
  *mapped = static_cast<size_t>(at - start) + n;
  *base = mmap(nullptr, *mapped, PROT_READ, MAP_PRIVATE | MAP_POPULATE, src.fd,
               static_cast<off_t>(start));
  if (*base == MAP_FAILED) return nullptr;
  return static_cast<const uint8_t*>(*base) + (at - start);
}

// Reads the record once, from its first byte to its last, computing the record check on the
// way and writing the bytes from `copy_from` on (the payload, or 0 for the whole record) to
// out_fd. Returns true when every byte was read and the check matches; otherwise out_fd is
// truncated again, so that a failed record leaves nothing behind. Memory stays bounded by the
// piece size whatever the record's size.
bool stream_record(const RecordSource& src, const RecordHeader& h, uint64_t copy_from, int out_fd) {
  uint32_t crc = kCrcInit;
  bool complete = true;
  const size_t piece = src.flash ? kChunk : kWindow;
  for (uint64_t pos = 0; pos < h.total_size && complete; pos += piece) {
    const size_t n = static_cast<size_t>(h.total_size - pos < piece ? h.total_size - pos : piece);
    void* base = nullptr;
    size_t mapped = 0;
    const uint8_t* window = src.mappable ? map_window(src, pos, n, &base, &mapped) : nullptr;
    if (window) {
      take_piece(window, pos, n, copy_from, out_fd, &crc);
      munmap(base, mapped);
      continue;
    }
    for (uint64_t at = pos; at < pos + n && complete; at += kChunk) {
      const size_t k = static_cast<size_t>(pos + n - at < kChunk ? pos + n - at : kChunk);
      complete = read_source(src, chunk_buf, at, k);
      if (complete) take_piece(chunk_buf, at, k, copy_from, out_fd, &crc);
    }
  }
  if (complete && crc == h.crc) return true;
  if (ftruncate(out_fd, 0) != 0) { /* the archive is rewritten on the next attempt anyway */
  }
  return false;
}

// A record whose sizes are unusable is treated like one whose check fails.
bool record_checks(const RecordSource& src, const RecordHeader& h, uint64_t available, int out_fd) {
  if (record_shape(h, available) != RecordShape::kOk) {
    if (ftruncate(out_fd, 0) != 0) { /* nothing was written */
    }
    return false;
  }
  return stream_record(src, h, h.payload_offset, out_fd);
}

}  // namespace

int parse_image(int fd, uint8_t* header) {
  memset(header, 0, kHeaderReadSize);
  BundleWalk walk;
  if (!bundle_walk_begin(&walk, fd)) return 0;
  BundleRecord rec;
  // The walk always moves forward and ends after a record with unusable sizes, so a zero-size
  // record cannot make it loop.
  while (bundle_walk_next(&walk, &rec)) {
    memcpy(header, rec.raw, kHeaderReadSize);
    if (is_bootable_type(rec.hdr.type_magic)) {
      lseek(fd, static_cast<off_t>(rec.offset), SEEK_SET);
      return 1;
    }
  }
  return 0;
}

// ---- Slot boot ------------------------------------------------------------------------------

namespace {

[[noreturn]] void rescue_fallback() {
  extract_image_from_flash();
  shell_then_reset();
}

// Opens the file of slot 1 or 2, or the other slot's when it cannot be opened; -1 when neither
// opens (the caller then falls back to the rescue partition).
int open_slot_file(int slot) {
  const int other = other_slot(slot);
  int fd = open(kSlotFiles[slot], O_RDONLY);
  if (fd >= 0) return fd;
  fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot, other);
  fd = open(kSlotFiles[other], O_RDONLY);
  if (fd >= 0) return fd;
  fprintf(stderr, "Failed to open Application image %d. Trying rescue image\n", other);
  return -1;
}

// Opens the USB boot image after the rejected-list check; -1 when it is not to be booted.
int open_usb_image() {
  const int fd = open(kUsbImage, O_RDONLY);
  if (fd < 0) {
    fprintf(stderr, "Failed to open application image from USB.\n");
    return -1;
  }
  if (!usb_is_image_rejected(kUsbImage)) {
    // Listed before it is unpacked: an image that hangs the board asks first next time.
    usb_add_image_to_reject_list(kUsbImage);
  } else if (!yesno_question("USB image is in rejected list.\nWould you still like to load it? ")) {
    close(fd);
    return -1;
  } else {
    puts("Continuing to load USB image...");
  }
  return fd;
}

int no_record(int slot, const uint8_t* header) {
  if (slot == 3) {
    fprintf(stderr, "Error: USB image corrupted or belongs to another switch type.\n");
    return 0;
  }
  if (tried_alt_image) {
    fprintf(stderr, "No valid application image found. Trying rescue image\n");
    rescue_fallback();
  }
  fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", get_be32(header + 8),
          kMagicDiagnostics);
  fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
  return 0;
}

int crc_failed(int slot) {
  if (slot == 3) {
    fprintf(stderr, "USB image CRC failed.");
    return 0;
  }
  if (tried_alt_image) {
    fprintf(stderr, "Both image1 and image2 failed.\n");
    shell_then_reset();
  }
  fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
  return 0;
}

}  // namespace

int extract_image(int slot) {
  if (slot < 1 || slot > 3) return 0;
  Fd in(slot == 3 ? open_usb_image() : open_slot_file(slot));
  if (!in.ok()) {
    if (slot == 3) return 0;
    rescue_fallback();
  }
  Fd out(open(kArchivePath, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!out.ok()) {
    fprintf(stderr, "Failed to open application image output file.\n");
    in.reset();
    shell_then_reset();
  }
  uint8_t header[kHeaderReadSize];
  if (!parse_image(in.get(), header)) {
    in.reset();
    out.reset();
    return no_record(slot, header);
  }
  struct stat st = {};
  fstat(in.get(), &st);
  const off_t at = lseek(in.get(), 0, SEEK_CUR);
  const RecordHeader h = decode_header(header);
  const RecordSource src = {in.get(), false, static_cast<uint64_t>(at), slot != 3};
  if (!record_checks(src, h, static_cast<uint64_t>(st.st_size - at), out.get())) {
    in.reset();
    out.reset();
    return crc_failed(slot);
  }
  in.reset();
  out.reset();
  api_set_booted_image(static_cast<uint8_t>(slot));
  if (gdb_enable && !gdbserver_enable) extract_gdb(slot);
  launch_image(h.type_magic == kMagicDiagnostics);
}

// ---- Launch ---------------------------------------------------------------------------------

namespace {

void offer_recovery_if_incompatible() {
  if (file_exists("/tmp/home/bin/distro-id")) return;
  puts("WARNING: Suspected incompatible application image detected during unpacking");
  printf("Would you like to enter recovery mode to download a new image? y/N: ");
  fflush(stdout);
  const unsigned key = uartGetC();
  if (key == 'y' || key == 'Y') run_rescue_mode();
}

[[noreturn]] void run_then_reset(const char* line) {
  run_shell(line);
  board_reset();
}

// Starts the application in the first mode the boot options select.
[[noreturn]] void start_application() {
  if (gdbserver_enable && memchk_enable) {
    snprintf(stringbuff, sizeof stringbuff, "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d %s\n",
             gdbport, kAppPath);
    run_then_reset(stringbuff);
  }
  if (gdbserver_enable) {
    snprintf(stringbuff, sizeof stringbuff, "/bin/gdbserver :%d %s\n", gdbport, kAppPath);
    run_then_reset(stringbuff);
  }
  if (gdb_enable) {
    if (file_exists("/tmp/gdb")) {
      puts("*** Launching under GDB ***");
      run_then_reset("/tmp/gdb /tmp/home/bin/mp.elf.strip");
    }
    puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
  } else if (memchk_enable) {
    snprintf(stringbuff, sizeof stringbuff, "LD_PRELOAD=libduma.so.0.0.0 %s\n", kAppPath);
    run_then_reset(stringbuff);
  }
  fflush(stdout);
  fflush(stderr);
  execlp("/bin/backtrace", "/bin/backtrace", static_cast<char*>(nullptr));
  fprintf(stderr, "Failed to start Application OS.\n");
  board_reset();
}

}  // namespace

void launch_image(bool diagnostics) {
  sleep(1);
  snprintf(stringbuff, sizeof stringbuff, "cd /tmp \ntar mxzf %s \nrm %s\n", kArchivePath,
           kArchivePath);
  if (run_shell(stringbuff) < 0) {
    fprintf(stderr, "Failed to gunzip Application OS.\n");
    board_reset();
  }
  offer_recovery_if_incompatible();
  api_i2c_close();
  if (diagnostics) {
    puts("install diags image");
    run_shell("mkdir -p /tmp/home/bin");
    run_shell("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
  }
  if (shell_enable) {
    puts("Dropping into shell");
    run_shell("/bin/sh\n");
    puts("Dropping out of shell");
  }
  start_application();
}

int extract_gdb(int slot) {
  if (slot != 1 && slot != 2) return 0;
  const int source = other_slot(slot);
  printf("Extracting GDB from image slot %d\n", source);
  Fd in(open(kSlotFiles[source], O_RDONLY));
  if (!in.ok()) {
    fprintf(stderr, "Failed to open GDB image (from slot %d)\n", source);
    return 0;
  }
  Fd out(open("/tmp/gdb.gz", O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!out.ok()) {
    fprintf(stderr, "Failed to open GDB output file.\n");
    return 0;
  }
  uint8_t raw[kHeaderReadSize] = {};
  const RecordSource src = {in.get(), false, 0};
  if (!read_source(src, raw, 0, sizeof raw)) memset(raw, 0, sizeof raw);
  const RecordHeader h = decode_header(raw);
  if (!is_bootable_type(h.type_magic)) {
    fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
    return 0;
  }
  printf("Found GDB image %d of length = %u.\n", source, h.len);
  // Copies what the file holds of the payload; the record check is not made for the debugger.
  for (uint64_t pos = 0; pos < h.len; pos += kChunk) {
    const size_t n = static_cast<size_t>(h.len - pos < kChunk ? h.len - pos : kChunk);
    const ssize_t got = pread(in.get(), chunk_buf, n, static_cast<off_t>(h.payload_offset + pos));
    if (got <= 0) break;
    write_all(out.get(), chunk_buf, static_cast<size_t>(got));
  }
  in.reset();
  out.reset();
  puts("decompressing GDB....");
  run_shell("gunzip /tmp/gdb.gz");
  run_shell("chmod +x /tmp/gdb");
  return 1;
}

// ---- Rescue partition -----------------------------------------------------------------------

namespace {

// Puts a record's first bytes back at the start of a file that holds the whole record otherwise;
// a file of another size (a copy that failed) is left as it is. A header that cannot be written
// leaves a file that no boot takes for a record, so its failure needs no report of its own.
void put_header(const char* path, const uint8_t* header, uint64_t record_size) {
  Fd file(open(path, O_WRONLY));
  struct stat st = {};
  if (!file.ok() || fstat(file.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) != record_size)
    return;
  if (pwrite(file.get(), header, kStandardHeaderSize, 0) == ssize_t{kStandardHeaderSize})
    fsync(file.get());
}

// Copies the rescue partition's record, header included, into a slot and selects that slot.
// The copy is made with the header held back, and the slot file gets it once cp has brought
// everything else: a copy cut short by a power failure then holds no record, and the next start
// falls back to the rescue image again instead of failing the check in both slots for ever.
void install_recovery_image(const RecordSource& src, const RecordHeader& h, char slot_char) {
  printf("\nInstalling recovery image as image%c...\n", slot_char);
  Fd image(open("/tmp/image", O_RDWR | O_CREAT | O_TRUNC, 0644));
  // The record is read again from flash; a copy that does not check is not installed.
  if (!image.ok() || !stream_record(src, h, 0, image.get())) {
    fprintf(stderr, "Failed to open image file.\n");
    board_reset();
  }
  uint8_t header[kStandardHeaderSize] = {};
  static const uint8_t kHeldBack[kStandardHeaderSize] = {};
  if (pread_full(image.get(), header, sizeof header, 0) != ssize_t{kStandardHeaderSize} ||
      pwrite(image.get(), kHeldBack, sizeof kHeldBack, 0) != ssize_t{kStandardHeaderSize}) {
    fprintf(stderr, "Failed to open image file.\n");
    board_reset();
  }
  image.reset();
  run_shell("mkdir /user/images &> /dev/null");
  snprintf(stringbuff, sizeof stringbuff, "cp /tmp/image /user/images/image%c\n", slot_char);
  run_shell(stringbuff);
  char slot_path[32];
  snprintf(slot_path, sizeof slot_path, "/user/images/image%c", slot_char);
  put_header("/tmp/image", header, h.total_size);
  put_header(slot_path, header, h.total_size);
  const int slot = slot_char - '0';
  printf("Setting boot image to %d\n", slot);
  api_set_image(static_cast<uint8_t>(slot));
  api_set_booted_image(static_cast<uint8_t>(slot));
}

void ask_recovery_install(const RecordSource& src, const RecordHeader& h) {
  printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
  fflush(stdout);
  // Only the first of at most 7 characters counts.
  char answer[8];
  if (get_user_input(answer, sizeof answer) == nullptr || (console_closed && answer[0] == 0)) {
    // The interrupt key, or a console at its end before anything was typed: boot as it is.
    return;
  }
  if (answer[0] == '1' || answer[0] == '2') {
    install_recovery_image(src, h, answer[0]);
    return;
  }
  puts(
      "\nBooting recovery image. You will need to download and install an image before "
      "rebooting");
  api_set_booted_image(kRescueSlot);
}

}  // namespace

int extract_image_from_flash() {
  Fd out(open(kArchivePath, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!out.ok()) {
    fprintf(stderr, "Failed to open DuzIZ tarfile.\n");
    board_reset();
  }
  uint8_t raw[kHeaderReadSize] = {};
  if (api_flash_read(raw, rescue_fd, 0, sizeof raw) != 0) memset(raw, 0, sizeof raw);
  const RecordHeader h = decode_header(raw);
  if (!is_bootable_type(h.type_magic)) {
    fprintf(stderr, "Image not found... \n");
    return 0;
  }
  // The partition's end is found by the reads themselves: a record running past it fails.
  const RecordSource src = {rescue_fd, true, 0};
  if (!record_checks(src, h, UINT64_MAX, out.get())) {
    fprintf(stderr, "Image CRC failed. Quitting\n");
    return 0;
  }
  out.reset();
  const bool diagnostics = h.type_magic == kMagicDiagnostics;
  if (diagnostics) {
    puts("Launching diagnostics image");
    // The archive already holds the payload; it must still be writable for the launch.
    Fd again(open(kArchivePath, O_WRONLY));
    if (!again.ok()) {
      fprintf(stderr, "Failed to open diags image file.\n");
      board_reset();
    }
    api_set_booted_image(kRescueSlot);
  } else {
    ask_recovery_install(src, h);
  }
  launch_image(diagnostics);
}
