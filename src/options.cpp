#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "flash.h"

int gdb_enable = 0;
int gdbserver_enable = 0;
uint8_t shell_enable = 0;
uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;
int32_t gdbport = 1234;

namespace {

// The environment's text window: after its crc word, as much as the options can be found in.
constexpr uint32_t kEnvOffset = 4;
constexpr uint32_t kEnvSize = 1280;

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
