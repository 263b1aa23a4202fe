// The launch: the archive unpacked under /tmp and the application started in the mode the boot
// options select (normally by replacing the launcher with the application starter).
#pragma once

// The archive that the boot path, the rescue-partition boot and the installer write a record's
// payload into, and that the launch unpacks.
inline constexpr const char* kArchivePath = "/tmp/kavosimage.tar.gz";

// Where the shell command lines of the launch are composed.
extern char stringbuff[256];

// Unpacks the archive and starts the application (or diagnostics); does not return, but in one
// case: the unpacked archive looked incompatible and the operator asked for the rescue menu. The
// room above then runs the menu and, once it is left, start_unpacked_image().
void launch_image(bool diagnostics);
// Starts the image that launch_image unpacked; never returns.
[[noreturn]] void start_unpacked_image();
// True while an unpacked image waits for start_unpacked_image.
bool unpacked_image_waiting();

// The shell first when the boot options enable it, then the board reset.
[[noreturn]] void shell_then_reset();
