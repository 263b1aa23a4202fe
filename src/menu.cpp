// The rescue menu and its actions.
#include "menu.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board.h"
#include "installer.h"
#include "launch.h"
#include "record.h"
#include "rescue_boot.h"
#include "xmodem.h"

namespace {

constexpr const char* kUsbDir = "/mnt/usb";
constexpr const char* kDownload = "/tmp/image";

// ---- Menu -----------------------------------------------------------------------------------

void print_menu() {
  puts("Please select one of the following options:");
  printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
  printf("\t%c) Reboot\n", 'R');
  printf("\t%c) Exit\n", 'E');
}

// Reads keys until one names an option and returns it in upper case. A console at its end
// answers Exit: nobody is left to choose, and the boot goes on.
int read_option() {
  for (;;) {
    printf("\nOption? : ");
    fflush(stdout);
    const unsigned key = uartGetC();
    printf("%c\n", key);
    if (sig_quit_raised) {
      sig_quit_raised = 0;
      continue;
    }
    if (key == 0) {
      if (console_closed) return 'E';
      continue;
    }
    const int option = toupper(static_cast<int>(key));
    if (strchr("XUHRDE", option) != nullptr) return option;
    printf("unknown option \"%c\". Please try again\n", option);
  }
}

// ---- USB picker -----------------------------------------------------------------------------

// Entries that are not directories get numbers; "." and ".." and folders on the stick do not.
// A symbolic link counts as the link itself, wherever it points. An entry that cannot be
// examined is numbered too, the same in both walks.
bool numbered(const dirent* e) {
  struct stat st;
  return lstat(e->d_name, &st) != 0 || !S_ISDIR(st.st_mode);
}

// Opens the stick's top directory and makes it the working directory, so that entries are
// examined by their bare names.
DIR* open_stick(const char* failure) {
  DIR* dir = opendir(kUsbDir);
  if (dir == nullptr) {
    puts(failure);
    return nullptr;
  }
  if (chdir(kUsbDir) != 0) { /* lstat then fails and every entry is numbered, in both walks */
  }
  return dir;
}

void close_stick(DIR* dir) {
  if (chdir("/tmp") != 0) { /* the working directory matters to nobody after the picker */
  }
  closedir(dir);
}

void list_stick(DIR* dir) {
  int counter = 1;
  while (const dirent* e = readdir(dir)) {
    if (numbered(e)) printf("\t%d: %s\n", counter++, e->d_name);
  }
}

// A number as "%d" takes it from the start of the line (2abc is 2); false when the line does not
// start with one. Numbers beyond the range of an int are pinned to its ends.
bool parse_number(const char* line, int* number) {
  char* end = nullptr;
  errno = 0;
  const long n = strtol(line, &end, 10);
  if (end == line) return false;
  *number = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
  return true;
}

// Reads lines until one holds a number; false when the operator quits (q, Q, the interrupt key
// or the end of the console).
bool ask_file_number(int* number) {
  printf("Choose file number to install (q to quit): ");
  fflush(stdout);
  char line[128];
  for (;;) {
    if (get_user_input(line, sizeof line) == nullptr) {
      if (sig_quit_raised) return false;
      continue;
    }
    if (line[0] == 'q' || line[0] == 'Q') return false;
    if (parse_number(line, number)) return true;
    if (console_closed) return false;
    printf("Invalid file number %s. Try again pleas\n", line);
  }
}

// Walks the stick again to the entry with the given number and copies its full path into path;
// false when the entries run out first.
bool find_entry(DIR* dir, int number, char* path, size_t size) {
  int counter = 1;
  while (const dirent* e = readdir(dir)) {
    if (!numbered(e)) continue;
    if (counter == number) {
      printf("Installing %s\n", e->d_name);
      snprintf(path, size, "%s%c%s", kUsbDir, '/', e->d_name);
      return true;
    }
    counter++;
  }
  return false;
}

}  // namespace

int run_rescue_mode() {
  puts("Entering Rescue Mode.");
  for (;;) {
    print_menu();
    switch (read_option()) {
      case 'X':
        run_xmodem_rescue();
        break;
      case 'U':
        run_usb_rescue();
        break;
      case 'H':
        run_image_display();
        break;
      case 'R':
        sleep(1);
        board_reset();
      case 'D':
        run_standalone_diags();
        break;
      default:  // 'E'
        return 1;
    }
    sig_quit_raised = 0;
    start_after_menu();
  }
}

void start_after_menu() {
  if (!unpacked_image_waiting()) return;
  run_rescue_mode();
  start_unpacked_image();
}

int run_usb_rescue() {
  DIR* dir = open_stick("Unable to open USB directory. Quitting");
  if (dir == nullptr) return 0;
  list_stick(dir);
  int number = 0;
  const bool chosen = ask_file_number(&number);
  close_stick(dir);
  if (!chosen || number <= 0) return 0;
  dir = open_stick("Unable to re-open USB directory. Quitting");
  if (dir == nullptr) return 0;
  // "/mnt/usb", '/', a name of up to 255 bytes and its NUL.
  char path[8 + 1 + 256];
  const bool found = find_entry(dir, number, path, sizeof path);
  close_stick(dir);
  if (!found) return 0;
  return processVeskoImage(path, 0, 0);
}

namespace {

// Receives the download with lrzsz's rx on the console line.
void receive_with_rx() {
  const int fd = init_serial();
  run_shell("/usr/bin/rx /tmp/image");
  reset_serial(fd);
  if (fd >= 0) close(fd);
}

// A switch without lrzsz receives with the launcher's own receiver, which hands the line over by
// itself. What a cancelled transfer left behind is no bundle to install.
void receive_built_in() {
  bool cancelled = false;
  if (xmodem_receive(kDownload, &cancelled) < 0 || cancelled) unlink(kDownload);
}

}  // namespace

int run_xmodem_rescue() {
  puts("Running xmodem rescue.....");
  // A transfer that fails must not leave an earlier download behind to be installed instead.
  unlink(kDownload);
  struct stat st;
  if (stat("/usr/bin/rx", &st) == 0)
    receive_with_rx();
  else
    receive_built_in();
  if (stat(kDownload, &st) != 0) return 0;
  return processVeskoImage(kDownload, 0, 0);
}

int run_image_display() {
  struct Row {
    const char* format;
    uint32_t magic;
    int32_t slot;
  };
  static const Row rows[] = {
      {"\tBoot image  : %d.%d.%d.%d\n", kMagicBootLoader, 0},
      {"\tRFS image   : %d.%d.%d.%d\n", kMagicRootFs, 0},
      {"\tKernel image: %d.%d.%d.%d\n", kMagicKernel, 0},
      {"\tDFT image   : %d.%d.%d.%d\n", kMagicDeviceTree, 0},
      {"\tOS image 1  : %d.%d.%d.%d\n", kMagicApplication, 1},
      {"\tOS image 2  : %d.%d.%d.%d\n", kMagicApplication, 2},
  };
  puts("Installed images versions: ");
  for (const Row& row : rows) {
    uint8_t header[16];
    read_flash_image_header(row.magic, header, row.slot);
    printf(row.format, header[12], header[13], header[14], header[15]);
  }
  return 0;
}

int run_standalone_diags() {
  printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
  fflush(stdout);
  const unsigned key = uartGetC();
  putchar('\n');
  if (key != 0 && toupper(static_cast<int>(key)) == 'Y') {
    puts("unmount filesystem");
    run_shell("/bin/umount /user &> /dev/null");
    puts("\nErasing filesystem for clean install");
    run_shell("flash_eraseall /dev/mtd-user-char");
    puts("Mounting...");
    run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    puts("creating default filesystem");
    run_shell("mkdir /user/images &> /dev/null");
  }
  puts("Booting diags image...");
  extract_image_from_flash();
  return 1;
}
