// The boot options the operator sets in the boot loader's environment.
#pragma once

#include <cstdint>

extern int gdb_enable;
extern int gdbserver_enable;
extern uint8_t shell_enable;
extern uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;
extern int32_t gdbport;

// Reads the boot options from the boot-loader environment partition; 0 when it cannot be read
// (the options keep their defaults).
int parse_uboot_env();
// Sets the boot options from an environment text (NULs already turned into spaces).
void parse_env_text(const char* text);
