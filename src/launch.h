// The boot path: start-up, boot options, slot extraction with its fallbacks, the launch of the
// application, and the boot of the rescue partition's image.
#pragma once

#include <cstdint>

// Interrupt flag, set by the SIGINT handler.
extern volatile uint8_t sig_quit_raised;
// 1 while booting from the USB stick is allowed for this start.
extern uint8_t usb_boot_enabled;
// 1 during the second slot attempt.
extern uint8_t tried_alt_image;

// Boot options from the boot-loader environment.
extern int gdb_enable;
extern int gdbserver_enable;
extern uint8_t shell_enable;
extern uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;
extern int32_t gdbport;

// Where the shell command lines of the launch are composed.
extern char stringbuff[256];

inline constexpr const char* kArchivePath = "/tmp/kavosimage.tar.gz";

// Installs sig_handler for SIGINT without automatic restart of interrupted calls.
int sig_init();
void sig_handler(int signo);
// The image slot the board settings select: 2 when the setting is 2, else 1.
int which_image();
// Sleeps a second, runs "reboot" and exits with status 0.
[[noreturn]] void board_reset();

// Reads the boot options from the boot-loader environment partition.
int parse_uboot_env();
// Sets the boot options from an environment text (NULs already turned into spaces).
void parse_env_text(const char* text);

// Boots slot 1, 2 or 3; returns 0 when the caller should try something else.
int extract_image(int slot);
// Scans an open bundle for its first application or diagnostics record; 1 when found, with the
// descriptor positioned at the record and header holding its first 20 bytes, else 0.
int parse_image(int fd, uint8_t* header);
// Unpacks the archive and starts the application; never returns.
[[noreturn]] void launch_image(bool diagnostics);
// Fetches the debugger from the other slot's first record; 1 when its commands ran, else 0.
int extract_gdb(int slot);
// Boots the record at the start of the rescue partition; returns 0 when it cannot.
int extract_image_from_flash();

// Runs a command line through the shell after flushing what was printed, so that the console
// shows the launcher's output and the command's in the order they happened. The result of
// system().
int run_shell(const char* line);
