#include "rejected.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "board.h"
#include "record.h"

namespace {

constexpr int kAnswerWaitMs = 5000;
// Reads that deliver nothing before the question takes a console at its end for a no.
constexpr int kEmptyReads = 3;
constexpr size_t kDigestLength = 32;

bool exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// The marker of a digest on the rejected list.
void marker_path(const char* digest, char* path, size_t size) {
  snprintf(path, size, "/user/images/rejected/%s", digest);
}

}  // namespace

int get_md5string(const char* path, char* digest) {
  char line[256];
  snprintf(line, sizeof line, "/bin/busybox md5sum %s > /tmp/img_md5string", path);
  // The work file of an earlier digest must not pass for this file's: it goes first, and a shell
  // that cannot run gives no digest.
  unlink("/tmp/img_md5string");
  if (run_shell(line) < 0) return 0;
  const int fd = open("/tmp/img_md5string", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t n = pread_full(fd, digest, kDigestLength, 0);
  close(fd);
  if (n != static_cast<ssize_t>(kDigestLength)) return 0;
  // Anything but hexadecimal digits is no digest, and must not become part of a path.
  for (size_t i = 0; i < kDigestLength; ++i)
    if (!isxdigit(static_cast<unsigned char>(digest[i]))) return 0;
  digest[kDigestLength] = '\0';
  return 1;
}

int usb_is_image_rejected(const char* path) {
  char digest[kDigestLength + 1], marker[64];
  if (!get_md5string(path, digest)) {
    puts("Warning: Cannot determine if image is in rejected list!");
    return 0;
  }
  marker_path(digest, marker, sizeof marker);
  return exists(marker) ? 1 : 0;
}

void usb_add_image_to_reject_list(const char* path) {
  char digest[kDigestLength + 1], marker[64], line[96];
  if (!get_md5string(path, digest)) {
    puts("Warning: Cannot add image to rejected list!");
    return;
  }
  marker_path(digest, marker, sizeof marker);
  if (exists(marker)) return;
  run_shell("mkdir -p /user/images/rejected");
  snprintf(line, sizeof line, "touch %s", marker);
  run_shell(line);
}

int yesno_question(const char* prompt) {
  printf("%s", prompt);
  int empty_reads = 0;
  for (;;) {
    printf("(y/n) ");
    fflush(stdout);
    struct pollfd in = {0, POLLIN, 0};
    // A console at its end is always readable and never delivers: after a few such reads it
    // answers like silence.
    if (poll(&in, 1, kAnswerWaitMs) <= 0 || (in.revents & POLLIN) == 0 ||
        empty_reads == kEmptyReads) {
      puts("\nTimeout. Assuming \"no\".");
      return 0;
    }
    unsigned char key = 0;
    if (read(0, &key, 1) != 1) {
      ++empty_reads;
      continue;
    }
    if (key == 'y') return 1;
    if (key == 'n') return 0;
  }
}
