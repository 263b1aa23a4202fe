// The bundle scan that finds the record to boot, and the boot option rules of the environment
// text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "launch.h"
#include "records.h"

using kvztest::Bytes;
using kvztest::concat;
using kvztest::make_record;
using kvztest::pattern;

namespace {

// ---- parse_image ----------------------------------------------------------------------------

// A bundle in a temporary file, open for reading.
class BundleFile {
 public:
  explicit BundleFile(const Bytes& content) {
    char tmpl[] = "/tmp/kvz-bundle-XXXXXX";
    fd_ = mkstemp(tmpl);
    unlink(tmpl);
    EXPECT_GE(fd_, 0);
    const ssize_t wrote = write(fd_, content.data(), content.size());
    EXPECT_EQ(wrote, static_cast<ssize_t>(content.size()));
    lseek(fd_, 0, SEEK_SET);
  }
  ~BundleFile() { close(fd_); }
  int fd() const { return fd_; }
  off_t position() const { return lseek(fd_, 0, SEEK_CUR); }

 private:
  int fd_ = -1;
};

Bytes first20(const Bytes& record) {
  return Bytes(record.begin(), record.begin() + 20);
}

Bytes header_of(const uint8_t* h) {
  return Bytes(h, h + kHeaderReadSize);
}

Bytes rec(uint32_t type, size_t payload, uint16_t hdrlen = 0, uint32_t seed = 1) {
  return make_record(type, 0x01020304, pattern(payload, seed), hdrlen);
}

Bytes bare_header(uint32_t magic, uint32_t len, uint16_t hdrlen) {
  Bytes h(20, 0);
  put_be32(h.data() + 4, len);
  put_be32(h.data() + 8, magic);
  put_be16(h.data() + 18, hdrlen);
  return h;
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BundleFile f(c.bundle);
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
  uint8_t header[kHeaderReadSize];
  {
    BundleFile f(concat({kernel, rfs_ext}));
    EXPECT_EQ(parse_image(f.fd(), header), 0);
    EXPECT_EQ(header_of(header), first20(rfs_ext));
  }
  {
    // Trailing bytes too few for another header end the scan.
    BundleFile f(concat({kernel, Bytes(19, 0x01)}));
    EXPECT_EQ(parse_image(f.fd(), header), 0);
    EXPECT_EQ(header_of(header), first20(kernel));
  }
}

TEST(ParseImage, ShortOrEmptyFileHoldsNoRecord) {
  const Bytes app = rec(kMagicApplication, 10);
  for (const size_t size : {size_t{0}, size_t{1}, size_t{19}}) {
    SCOPED_TRACE(size);
    BundleFile f(Bytes(app.begin(), app.begin() + static_cast<long>(size)));
    uint8_t header[kHeaderReadSize];
    EXPECT_EQ(parse_image(f.fd(), header), 0);
  }
}

TEST(ParseImage, ApplicationHeaderAtTheVeryEndIsFound) {
  // Only the 20 bytes of a header are needed to find a record; its check is made later.
  const Bytes kernel = rec(kMagicKernel, 40);
  const Bytes app = rec(kMagicApplication, 1000);
  BundleFile f(concat({kernel, first20(app)}));
  uint8_t header[kHeaderReadSize];
  EXPECT_EQ(parse_image(f.fd(), header), 1);
  EXPECT_EQ(f.position(), static_cast<off_t>(kernel.size()));
  EXPECT_EQ(header_of(header), first20(app));
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
    BundleFile f(concat({c.blocker, app}));
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

TEST_F(EnvText, EmptyOrErasedEnvironmentKeepsTheDefaults) {
  for (const std::string& text : {std::string(1280, ' '), std::string(1280, '\xff'),
                                  std::string("bootcmd=run boot_flash baudrate=9600 ")}) {
    parse_env_text(text.c_str());
    EXPECT_EQ(options(), kDefaults);
  }
}

TEST_F(EnvText, FlagsCompareOnlyThePrefixOfTheValue) {
  parse_env_text("gdb=on shell=one memchk=onwards diagnostics=rescue2 ");
  EXPECT_EQ(options(), "gdb=1 gdbserver=0 shell=1 memchk=1 rescue=1 diags=0 port=1234");
  parse_env_text("gdb=of shell=Yes memchk=o diagnostics=diagsX ");
  EXPECT_EQ(options(), "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=1 port=1234");
  parse_env_text("diagnostics=normal ");
  EXPECT_EQ(options(), kDefaults);
}

TEST_F(EnvText, ServerOptionTurnsTheDebuggerOnButNeverOff) {
  parse_env_text("gdb=off gdbserver=on ");
  EXPECT_EQ(options(), "gdb=1 gdbserver=1 shell=0 memchk=0 rescue=0 diags=0 port=1234");
  SetUp();
  parse_env_text("gdb=on gdbserver=off ");
  EXPECT_EQ(options(), "gdb=1 gdbserver=0 shell=0 memchk=0 rescue=0 diags=0 port=1234");
}

TEST_F(EnvText, KeysAreFoundAnywhereAndOnlyTheFirstCounts) {
  // Inside a longer name, before the real variable.
  parse_env_text("myshell=on shell=off ");
  EXPECT_EQ(options(), "gdb=0 gdbserver=0 shell=1 memchk=0 rescue=0 diags=0 port=1234");
  SetUp();
  // Inside another variable's value.
  parse_env_text("bootargs=console=ttyS0 memchk=on x=1 memchk=off ");
  EXPECT_EQ(options(), "gdb=0 gdbserver=0 shell=0 memchk=1 rescue=0 diags=0 port=1234");
  SetUp();
  parse_env_text("extra=diagnostics=diags diagnostics=rescue ");
  EXPECT_EQ(options(), "gdb=0 gdbserver=0 shell=0 memchk=0 rescue=0 diags=1 port=1234");
  SetUp();
  // "gdbserver=" does not hold "gdb=": the debugger flag comes from the server rule alone.
  parse_env_text("gdbserver=off ");
  EXPECT_EQ(options(), kDefaults);
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
