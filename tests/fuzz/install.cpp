// The bundle installer over the fuzz bytes as a bundle file, into slot 1 or 2 (never 0: that asks
// on the console and may boot the record). Byte 0: the slot (bit 0), skip same versions (bit 1),
// /user/images is a plain file (bit 2), the slot already holds the bundle's first 16 bytes
// (bit 3). The rest is the bundle, in a memory file opened by its /proc path.
//
// Flash is absent (no api_flash_init: every flash operation fails) and the EEPROM buses are
// closed, so flash records take their check and write-failure roads. Slot files go to /user:
// the program runs in a mount namespace of its own whose root shows the machine's root with a
// 8 KiB tmpfs at /user, so that larger records also meet a full file system. Checks: no
// descriptor leaks, and a slot file never passes for an installed version unless it is a whole
// record with a good checksum.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "record.h"
#include "fuzz.h"
#include "installer.h"

using kvzfuzz::fail;

namespace {

void must(bool ok, const char* what) {
  if (!ok) {
    perror(what);
    fail(what);
  }
}

// Every entry of the machine's root bound into a new root, /user a small tmpfs, then the new
// root made the namespace's own with pivot_root; the working directory keeps its path.
void private_user() {
  char cwd[PATH_MAX];
  must(getcwd(cwd, sizeof cwd) != nullptr, "getcwd");
  must(unshare(CLONE_NEWNS) == 0, "unshare (as root)");
  must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "mount private");
  char root[] = "/tmp/kvz-fuzz-root-XXXXXX";
  must(mkdtemp(root) != nullptr && mount("root", root, "tmpfs", 0, nullptr) == 0, "new root");
  DIR* dir = opendir("/");
  while (dirent* e = readdir(dir)) {
    const std::string from = std::string("/") + e->d_name, to = root + from;
    struct stat st;
    if (e->d_name[0] == '.' || from == "/user" || lstat(from.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(PATH_MAX);
      must(readlink(from.c_str(), target.data(), PATH_MAX - 1) > 0 &&
               symlink(target.data(), to.c_str()) == 0,
           "symlink");
    } else if (S_ISDIR(st.st_mode)) {
      must(mkdir(to.c_str(), 0755) == 0 &&
               mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
           "bind");
    }
  }
  closedir(dir);
  const std::string user = std::string(root) + "/user";
  must(mkdir(user.c_str(), 0755) == 0 &&
           mount("user", user.c_str(), "tmpfs", 0, "size=8k,nr_inodes=16") == 0,
       "/user");
  must(chdir(root) == 0 && syscall(SYS_pivot_root, ".", ".") == 0 &&
           umount2(".", MNT_DETACH) == 0 && chdir(cwd) == 0,
       "pivot_root");
  // The copy of the new root under the machine's /tmp goes, and so does its mount point.
  umount2(root, MNT_DETACH);
  rmdir(root);
}

void clear_user() {
  for (const char* f : {"image1", "image2", "image1.new", "image2.new"})
    unlink((std::string("/user/images/") + f).c_str());
  if (rmdir("/user/images") != 0) unlink("/user/images");
}

// A slot file is installed, or its header is zero (or the harness made it and it is untouched).
void check_slot(int slot, const std::vector<uint8_t>& premade) {
  const std::string path = "/user/images/image" + std::to_string(slot);
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  struct stat st;
  fstat(fd, &st);
  std::vector<uint8_t> file(static_cast<size_t>(st.st_size));
  must(read(fd, file.data(), file.size()) == st.st_size, "read slot");
  close(fd);
  static const uint8_t zeros[16] = {};
  if (file.empty() || file == premade ||
      memcmp(file.data(), zeros, file.size() < 16 ? file.size() : 16) == 0)
    return;
  uint8_t raw[kHeaderReadSize] = {};
  memcpy(raw, file.data(), file.size() < sizeof raw ? file.size() : sizeof raw);
  const RecordHeader hdr = decode_header(raw);
  if (file.size() < 16 || hdr.total_size != file.size() ||
      gen_crc(file.data() + 4, static_cast<uint32_t>(file.size() - 4), kCrcInit) != hdr.crc)
    fail("a slot file passes for an installed version but is no whole record");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  private_user();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int fd = kvzfuzz::memfd_holding(data + 1, size - 1);
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int slot = 1 + (data[0] & 1);
  const kvzfuzz::NoLeaks no_leaks;
  clear_user();
  if (data[0] & 4) close(open("/user/images", O_WRONLY | O_CREAT, 0644));
  std::vector<uint8_t> premade;
  if (data[0] & 8) {
    premade.assign(data + 1, data + (size > 17 ? 17 : size));
    mkdir("/user/images", 0755);
    const int out = open(("/user/images/image" + std::to_string(slot)).c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      must(write(out, premade.data(), premade.size()) >= 0, "slot file");
      close(out);
    }
  }
  processVeskoImage(path.c_str(), (data[0] >> 1) & 1, slot);
  check_slot(slot, premade);
  return 0;
}
