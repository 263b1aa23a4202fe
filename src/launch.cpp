#include "launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "board.h"
#include "console.h"
#include "i2c.h"
#include "options.h"

char stringbuff[256];

namespace {

constexpr const char* kAppPath = "/tmp/home/bin/mp.elf.strip";

bool waiting = false;      // launch_image returned with the image unpacked
bool diagnostics_waiting;  // and it is a diagnostics image

bool file_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// True when the archive lacks the distribution marker and the operator answers y to entering
// recovery mode.
bool recovery_asked() {
  if (file_exists("/tmp/home/bin/distro-id")) return false;
  puts("WARNING: Suspected incompatible application image detected during unpacking");
  printf("Would you like to enter recovery mode to download a new image? y/N: ");
  fflush(stdout);
  const unsigned key = uartGetC();
  return key == 'y' || key == 'Y';
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
  diagnostics_waiting = diagnostics;
  if (recovery_asked()) {
    waiting = true;
    return;
  }
  start_unpacked_image();
}

bool unpacked_image_waiting() {
  return waiting;
}

void start_unpacked_image() {
  waiting = false;
  api_i2c_close();
  if (diagnostics_waiting) {
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

void shell_then_reset() {
  if (shell_enable) run_shell("/bin/sh\n");
  board_reset();
}
