// The bundle scan that finds the record to boot, and the boot option rules of the environment
// text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "launch.h"
#include "records.h"
#include "scratch.h"

using namespace kvztest;

namespace {

Bytes rec(uint32_t type, size_t payload, uint16_t hdrlen = 0, uint32_t seed = 1) {
  return make_record(type, 0x01020304, pattern(payload, seed), hdrlen);
}

// The scan stops on the first application or diagnostics record, its file positioned there; it
// needs only a record's 20 header bytes (the check comes later). Without one, the header buffer
// holds the last header read whole (or zeros); a record that cannot be stepped over ends the scan.
TEST(ParseImage, FindsTheFirstBootableRecord) {
  const Bytes uboot = rec(kMagicBootLoader, 300), kernel = rec(kMagicKernel, 1001, 32);
  const Bytes rfs = rec(kMagicRootFs, 77, 20), app = rec(kMagicApplication, 50, 0, 2);
  const Bytes app_ext = rec(kMagicApplication, 60, 40, 3), diags = rec(kMagicDiagnostics, 70);
  const Bytes zero = bare_header(kMagicKernel | kMagicExtended, 0, 0);
  const Bytes below = bare_header(kMagicKernel | kMagicExtended, 4, 8);
  const Bytes wraps = bare_header(kMagicKernel, 0xFFFFFFF8u, 0);
  const Bytes ext_wraps = bare_header(kMagicRootFs | kMagicExtended, 0xFFFFFFF0u, 32);
  const Bytes past_end = bare_header(kMagicKernel, 0x10000, 0);
  const struct {
    Bytes bundle;
    int found;
    off_t offset;
    Bytes header;
  } cases[] = {
      {concat({app, diags}), 1, 0, app},
      {concat({kernel, rfs, app_ext}), 1, 1001 + 32 + 77 + 20, app_ext},
      {concat({uboot, diags, app}), 1, 316, diags},
      {concat({uboot, slice(app, 0, 20)}), 1, 316, app},
      {concat({kernel, rfs}), 0, 0, rfs},
      {concat({kernel, Bytes(19, 1)}), 0, 0, kernel},
      {slice(app, 0, 19), 0, 0, Bytes(20, 0)},
      {concat({zero, app}), 0, 0, zero},
      {concat({below, app}), 0, 0, below},
      {concat({wraps, app}), 0, 0, wraps},
      {concat({ext_wraps, app}), 0, 0, ext_wraps},
      {concat({past_end, app}), 0, 0, past_end},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(slice(c.bundle, 0, 20)));
    TempFile f(c.bundle);
    uint8_t header[kHeaderReadSize];
    memset(header, 0xEE, sizeof header);
    EXPECT_EQ(parse_image(f.fd(), header), c.found);
    if (c.found) {
      EXPECT_EQ(f.position(), c.offset);
    }
    EXPECT_EQ(Bytes(header, header + 20), slice(c.header, 0, 20));
  }
}

void reset_options() {
  gdb_enable = gdbserver_enable = rescue_enable = standalone_diags = 0;
  shell_enable = memchk_enable = 0;
  gdbport = 1234;
}

// The flags as one string, e.g. "gdb=1 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234".
std::string options_of(const char* text) {
  reset_options();
  parse_env_text(text);
  char buf[160];
  snprintf(buf, sizeof buf, "gdb=%d gdbserver=%d shell=%d memchk=%d rescue=%d diags=%d port=%d",
           gdb_enable, gdbserver_enable, shell_enable, memchk_enable, rescue_enable,
           standalone_diags, gdbport);
  return buf;
}

// A key is found anywhere (inside a longer name or another value), only its first occurrence
// counts, and a value is compared by its prefix.
TEST(EnvText, KeyRules) {
  const std::string none = "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234";
  const std::pair<std::string, std::string> cases[] = {
      {std::string(1280, ' '), none},
      {std::string(1280, '\xff'), none},
      {"bootcmd=run boot_flash baudrate=9600 diagnostics=normal ", none},
      {"gdb=on shell=one memchk=onwards diagnostics=rescue2 ",
       "gdb=1 gdbserver=0 shell=1 memchk=1 rescue=1 diags=0 port=1234"},
      {"gdb=of shell=Yes memchk=o diagnostics=diagsX ",
       "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=1 port=1234"},
      // The server turns the debugger on; off, it leaves it as it is ("gdbserver=" holds no
      // "gdb=").
      {"gdb=off gdbserver=on ", "gdb=1 gdbserver=1 shell=0 memchk=0 rescue=0 diags=0 port=1234"},
      {"gdb=on gdbserver=off ", "gdb=1 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234"},
      {"gdbserver=off ", none},
      {"myshell=on shell=off ", "gdb=0 gdbserver=0 shell=1 memchk=0 rescue=0 diags=0 port=1234"},
      {"bootargs=console=ttyS0 memchk=on x=1 memchk=off ",
       "gdb=0 gdbserver=0 shell=0 memchk=1 rescue=0 diags=0 port=1234"},
      {"extra=diagnostics=diags diagnostics=rescue ",
       "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=1 port=1234"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(options_of(text.c_str()), want) << text;
}

// The port is a decimal number as "%d" reads it, when one is there and fits an int.
TEST(EnvText, PortIsADecimalNumberWhenOneIsThere) {
  const std::pair<const char*, int> cases[] = {{"gdbport=2345 ", 2345},
                                               {"gdbport=abc ", 1234},
                                               {"gdbport= \t-77 ", -77},
                                               {"gdbport=+80x ", 80},
                                               {"gdbport=4321abc ", 4321},
                                               {"gdbport=", 1234},
                                               {"gdbport= ", 1234},
                                               {"gdbport=2147483647 ", 2147483647},
                                               {"gdbport=2147483648 ", 1234},
                                               {"gdbport=99999999999999 ", 1234},
                                               {"gdbport=-2147483649 ", 1234},
                                               {"xgdbport=99 gdbport=1 ", 99}};
  for (const auto& [text, port] : cases) {
    options_of(text);
    EXPECT_EQ(gdbport, port) << text;
  }
}

}  // namespace
