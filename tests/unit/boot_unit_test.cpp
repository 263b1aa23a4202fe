// The bundle scan that finds the record to boot, and the boot option rules of the environment
// text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "launch.h"
#include "records.h"
#include "scratch.h"

using kvztest::bare_header;
using kvztest::Bytes;
using kvztest::concat;
using kvztest::make_record;
using kvztest::pattern;
using kvztest::TempFile;

namespace {

// ---- parse_image ----------------------------------------------------------------------------

Bytes first20(const Bytes& record) {
  return Bytes(record.begin(), record.begin() + 20);
}

Bytes header_of(const uint8_t* h) {
  return Bytes(h, h + kHeaderReadSize);
}

Bytes rec(uint32_t type, size_t payload, uint16_t hdrlen = 0, uint32_t seed = 1) {
  return make_record(type, 0x01020304, pattern(payload, seed), hdrlen);
}

TEST(ParseImage, FindsTheFirstBootableRecordAndStopsOnIt) {
  const Bytes uboot = rec(kMagicBootLoader, 300);
  const Bytes kernel_ext = rec(kMagicKernel, 1001, 32);
  const Bytes rfs_ext = rec(kMagicRootFs, 77, 20);
  const Bytes app = rec(kMagicApplication, 50, 0, 2);
  const Bytes app_ext = rec(kMagicApplication, 60, 40, 3);
  const Bytes diags = rec(kMagicDiagnostics, 70, 0, 4);
  struct Case {
    const char* what;
    Bytes bundle;
    size_t offset;
    Bytes header;
  };
  const Case cases[] = {
      {"first record", concat({app, diags}), 0, first20(app)},
      {"after a boot loader", concat({uboot, app}), uboot.size(), first20(app)},
      {"after extended headers", concat({kernel_ext, rfs_ext, app_ext}),
       kernel_ext.size() + rfs_ext.size(), first20(app_ext)},
      {"diagnostics before an application", concat({uboot, diags, app}), uboot.size(),
       first20(diags)},
      // Only the 20 bytes of a header are needed to find a record; its check is made later.
      {"a header alone at the end", concat({uboot, first20(app)}), uboot.size(), first20(app)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile f(c.bundle);
    uint8_t header[kHeaderReadSize];
    memset(header, 0xEE, sizeof header);
    EXPECT_EQ(parse_image(f.fd(), header), 1);
    EXPECT_EQ(f.position(), static_cast<off_t>(c.offset));
    EXPECT_EQ(header_of(header), c.header);
  }
}

TEST(ParseImage, WithoutBootableRecordKeepsTheLastHeaderRead) {
  const Bytes kernel = rec(kMagicKernel, 100);
  const Bytes rfs_ext = rec(kMagicRootFs, 100, 32);
  const Bytes app = rec(kMagicApplication, 10);
  struct Case {
    const char* what;
    Bytes bundle;
    Bytes header;  // empty when no header was read whole
  };
  const Case cases[] = {
      {"other types only", concat({kernel, rfs_ext}), first20(rfs_ext)},
      // Trailing bytes too few for another header end the scan.
      {"short tail", concat({kernel, Bytes(19, 0x01)}), first20(kernel)},
      {"empty file", {}, {}},
      {"one byte", kvztest::slice(app, 0, 1), {}},
      {"19 bytes", kvztest::slice(app, 0, 19), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile f(c.bundle);
    uint8_t header[kHeaderReadSize];
    EXPECT_EQ(parse_image(f.fd(), header), 0);
    if (!c.header.empty()) {
      EXPECT_EQ(header_of(header), c.header);
    }
  }
}

TEST(ParseImage, RecordThatCannotBeSteppedOverEndsTheScan) {
  const Bytes app = rec(kMagicApplication, 10);
  struct Case {
    const char* what;
    Bytes blocker;
  };
  const Case cases[] = {
      {"zero-size extended header", bare_header(kMagicKernel | kMagicExtended, 0, 0)},
      {"extended header shorter than 20", bare_header(kMagicKernel | kMagicExtended, 4, 8)},
      {"size wraps 32 bits", bare_header(kMagicKernel, 0xFFFFFFF8u, 0)},
      {"extended size wraps 32 bits",
       bare_header(kMagicRootFs | kMagicExtended, 0xFFFFFFF0u, 0x20)},
      {"runs past the end", bare_header(kMagicKernel, 0x10000, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFile f(concat({c.blocker, app}));
    uint8_t header[kHeaderReadSize];
    EXPECT_EQ(parse_image(f.fd(), header), 0);
    EXPECT_EQ(header_of(header), c.blocker);
  }
}

// ---- parse_env_text -------------------------------------------------------------------------

class EnvText : public ::testing::Test {
 protected:
  void SetUp() override {
    gdb_enable = 0;
    gdbserver_enable = 0;
    shell_enable = 0;
    memchk_enable = 0;
    rescue_enable = 0;
    standalone_diags = 0;
    gdbport = 1234;
  }
  // The flags as one string, e.g. "gdb=1 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234".
  static std::string options() {
    char buf[160];
    snprintf(buf, sizeof buf, "gdb=%d gdbserver=%d shell=%d memchk=%d rescue=%d diags=%d port=%d",
             gdb_enable, gdbserver_enable, shell_enable, memchk_enable, rescue_enable,
             standalone_diags, gdbport);
    return buf;
  }
};

const char* const kDefaults = "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234";

TEST_F(EnvText, KeyRules) {
  const struct {
    const char* what;
    std::string text;
    const char* options;
  } cases[] = {
      {"blank", std::string(1280, ' '), kDefaults},
      {"erased", std::string(1280, '\xff'), kDefaults},
      {"no boot option", "bootcmd=run boot_flash baudrate=9600 ", kDefaults},
      {"values compared by their prefix", "gdb=on shell=one memchk=onwards diagnostics=rescue2 ",
       "gdb=1 gdbserver=0 shell=1 memchk=1 rescue=1 diags=0 port=1234"},
      {"values that do not begin with on", "gdb=of shell=Yes memchk=o diagnostics=diagsX ",
       "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=1 port=1234"},
      {"diagnostics neither rescue nor diags", "diagnostics=normal ", kDefaults},
      {"server turns the debugger on", "gdb=off gdbserver=on ",
       "gdb=1 gdbserver=1 shell=0 memchk=0 rescue=0 diags=0 port=1234"},
      {"server off leaves the debugger", "gdb=on gdbserver=off ",
       "gdb=1 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234"},
      // "gdbserver=" does not hold "gdb=": the debugger flag comes from the server rule alone.
      {"server off alone", "gdbserver=off ", kDefaults},
      // Keys are found anywhere, and only the first one counts.
      {"inside a longer name", "myshell=on shell=off ",
       "gdb=0 gdbserver=0 shell=1 memchk=0 rescue=0 diags=0 port=1234"},
      {"inside another value", "bootargs=console=ttyS0 memchk=on x=1 memchk=off ",
       "gdb=0 gdbserver=0 shell=0 memchk=1 rescue=0 diags=0 port=1234"},
      {"inside another value, first", "extra=diagnostics=diags diagnostics=rescue ",
       "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=1 port=1234"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    parse_env_text(c.text.c_str());
    EXPECT_EQ(options(), c.options);
  }
}

TEST_F(EnvText, PortIsADecimalNumberWhenOneIsThere) {
  struct Case {
    const char* text;
    int port;
  };
  for (const Case c :
       {Case{"gdbport=2345 ", 2345}, Case{"gdbport=abc ", 1234}, Case{"gdbport= \t-77 ", -77},
        Case{"gdbport=+80x ", 80}, Case{"gdbport=4321abc ", 4321}, Case{"gdbport=", 1234},
        Case{"gdbport= ", 1234}, Case{"gdbport=2147483647 ", 2147483647},
        Case{"gdbport=2147483648 ", 1234}, Case{"gdbport=99999999999999 ", 1234},
        Case{"gdbport=-2147483649 ", 1234}, Case{"xgdbport=99 gdbport=1 ", 99}}) {
    SCOPED_TRACE(c.text);
    gdbport = 1234;
    parse_env_text(c.text);
    EXPECT_EQ(gdbport, c.port);
  }
}

}  // namespace
