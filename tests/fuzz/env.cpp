// The boot-environment parser over the environment partition's text window, made searchable as
// parse_uboot_env makes it: bytes 4 to 1283, NULs as spaces, terminated. The sanitizers are
// the checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t n = size > 4 ? (size - 4 < 1280 ? size - 4 : 1280) : 0;
  char* text = static_cast<char*>(malloc(n + 1));  // exactly the text: a read past it is caught
  for (size_t i = 0; i < n; ++i) text[i] = data[4 + i] ? static_cast<char>(data[4 + i]) : ' ';
  text[n] = '\0';
  gdb_enable = gdbserver_enable = rescue_enable = standalone_diags = 0;
  shell_enable = memchk_enable = 0;
  gdbport = 1234;
  parse_env_text(text);
  free(text);
  return 0;
}
