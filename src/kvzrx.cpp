// kvzrx [FILE]: receives one file over the serial line with the built-in XMODEM-1K receiver
// (into /tmp/image by default), for boards without an external receiver.
// Exit status: 0 the transfer ended with EOT, 1 it was cancelled, 2 the file could not be
// created (or the line opened).
#include <cstdio>
#include <cstring>

#include "xmodem.h"

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("kvzrx %s\n", KVZ_VERSION);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    printf("usage: kvzrx [FILE]   (default /tmp/image; exit status 0 received, 1 cancelled, 2 no file)\n");
    return 0;
  }
  if (argc > 2) {
    fprintf(stderr, "usage: kvzrx [FILE]\n");
    return 2;
  }
  const char* path = argc == 2 ? argv[1] : "/tmp/image";
  bool cancelled = false;
  const int total = xmodem_receive(path, &cancelled);
  if (total < 0) return 2;
  if (cancelled) return 1;
  printf("%d bytes received into %s\n", total, path);
  return 0;
}
