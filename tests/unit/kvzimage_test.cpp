// kvzimage, run in-process over a scratch directory: the exact bytes create writes, and each
// command's report, error lines and exit status, written as session transcripts.
#include "kvzimage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "records.h"

#ifdef KVZ_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace kvztest;
namespace fs = std::filesystem;

namespace {

class Kvzimage : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(mkdtemp(dir_.data()), nullptr); }
  void TearDown() override { fs::remove_all(dir_); }

  void put(const std::string& name, const Bytes& content) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
  }
  Bytes get(const std::string& name) const {
    std::ifstream f(dir_ + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }

  // Runs the "$ ARGS" lines of a transcript and compares the whole session with it: each command
  // line followed by its standard output and its error lines. Every command must exit with
  // `status` and leave no OUT.tmp behind. "@" stands for the scratch directory.
  void expect_session(int status, std::string want) const {
    std::string got;
    for (size_t i; (i = want.find('@')) != std::string::npos;) want.replace(i, 1, dir_ + "/");
    std::istringstream lines(want);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("$", 0) != 0) continue;
      std::istringstream words(line.substr(1));
      std::vector<std::string> args = {"kvzimage"};
      for (std::string w; words >> w;) args.push_back(w);
      std::vector<const char*> argv;
      for (const std::string& a : args) argv.push_back(a.c_str());
      char* text[2] = {};
      size_t len[2] = {};
      FILE* out = open_memstream(&text[0], &len[0]);
      FILE* err = open_memstream(&text[1], &len[1]);
      EXPECT_EQ(kvzimage_run(static_cast<int>(argv.size()), argv.data(), out, err), status) << line;
      fclose(out);
      fclose(err);
      got += line + "\n" + std::string(text[0], len[0]) + std::string(text[1], len[1]);
      free(text[0]);
      free(text[1]);
      EXPECT_FALSE(fs::exists(dir_ + "/out.tmp")) << line;
    }
    EXPECT_EQ(got, want);
  }

  std::string dir_ = "/tmp/kvzimage-test-XXXXXX";
};

// Every type and header kind, back to back in the order given; a payload larger than the copy
// buffer; an empty one inside the bundle; a file name with a colon. A boot loader's payload
// carries its record's header (crc word 0) at 240-255 unless noembed is given. list shows each
// record, verify checks them all, extract gives a payload back byte for byte.
TEST_F(Kvzimage, CreateListVerifyExtract) {
  const Bytes big = pattern(200001, 3), small = pattern(300, 5), uboot = pattern(1000, 11);
  put("big:1", big);
  put("s", small);
  put("u", uboot);
  put("e", {});
  expect_session(0, R"($ create @b rfs:4.0.0.1:@big:1 dtb:5.0.0.0:@e app,hdrlen=64:1.2.254.255:@s uboot,noembed:0.0.0.1:@s kernel:3.0.0.0:@s diags,hdrlen=20:6.0.0.0:@s uboot,hdrlen=24:255.0.1.2:@u
$ list @b
#     offset       type                version         len        header    checksum
1     0            RFS                 4.0.0.1         200001     std 16    good
2     200017       DFT                 5.0.0.0         0          std 16    good
3     200033       APPLICATION         1.2.254.255     300        ext 64    good
4     200397       UBOOT               0.0.0.1         300        std 16    good
5     200713       KERNEL              3.0.0.0         300        std 16    good
6     201029       DIAGS               6.0.0.0         300        ext 20    good
7     201349       UBOOT               255.0.1.2       1000       ext 24    good
$ verify @b
7 records good
$ extract @b 1 @out
)");
  EXPECT_EQ(get("out"), big);
  Bytes embedded = uboot;
  const Bytes header = make_record(kMagicBootLoader, 0xFF000102, uboot, 24);
  std::fill_n(embedded.begin() + 240, 4, 0);
  std::copy_n(header.begin() + 4, 12, embedded.begin() + 244);
  EXPECT_EQ(embedded[248], 0x82);  // the copy keeps the extended-header bit
  const Bytes got = get("b");
  EXPECT_EQ(got, concat({make_record(kMagicRootFs, 0x04000001, big),
                         make_record(kMagicDeviceTree, 0x05000000, {}),
                         make_record(kMagicApplication, 0x0102FEFF, small, 64),
                         make_record(kMagicBootLoader, 0x00000001, small),
                         make_record(kMagicKernel, 0x03000000, small),
                         make_record(kMagicDiagnostics, 0x06000000, small, 20),
                         make_record(kMagicBootLoader, 0xFF000102, embedded, 24)}));
  // The fields of the app record as the format lays them out: len, magic (type byte first,
  // extended bit set), version, then hdrlen in bytes 18-19.
  EXPECT_EQ(slice(got, 200033 + 4, 16),
            (Bytes{0, 0, 1, 0x2C, 0x81, 'K', 'V', 'Z', 1, 2, 254, 255, 0, 0, 0, 64}));
#ifdef KVZ_HAVE_ZLIB
  // The crc word is the complement of the common CRC-32 over the rest of the record.
  EXPECT_EQ(get_be32(got.data()), ~static_cast<uint32_t>(crc32(0, got.data() + 4, 200001 + 12)));
#endif
}

// A bad record fails verify and extract, and ends nothing else; list stops at a record it cannot
// step over and names why; records of no known type are left alone by verify. Bad command lines
// and input files get one error line and the status a release script relies on (2 a usage error,
// 1 a bad file), and a refused create or extract leaves an earlier file as it was.
TEST_F(Kvzimage, RefusesWhatItCannotVouchFor) {
  Bytes unknown = make_record(0x074B565A, 0x0A0B0C0D, pattern(4));
  Bytes bad = make_record(kMagicDiagnostics, 0x06000000, pattern(8));
  unknown[18] ^= 1;
  bad[20] ^= 1;
  Bytes cut = make_record(kMagicRootFs, 0x04000000, pattern(100));
  cut.resize(60);
  put("mixed", concat({make_record(kMagicKernel, 3, pattern(4)), unknown, bad, Bytes(19, 0xEE)}));
  put("cut", concat({make_record(kMagicKernel, 3, pattern(4)), cut}));
  put("zero", concat({bare_header(kMagicApplication | kMagicExtended, 0, 0), Bytes(44, 0)}));
  put("wraps", bare_header(kMagicKernel | kMagicExtended, 0xFFFFFFF8u, 20));
  put("p", pattern(300));
  put("u255", pattern(255));
  put("three", pattern(3));
  put("out", bytes_of("earlier"));
  put("huge", {});
  ASSERT_EQ(truncate((dir_ + "/huge").c_str(), 0xFFFFFFF0), 0);  // takes no space
  expect_session(0, R"($ list @mixed
#     offset       type                version         len        header    checksum
1     0            KERNEL              0.0.0.3         4          std 16    good
2     20           unknown(0x074b565a) 10.11.12.13     4          std 16    bad
3     40           DIAGS               6.0.0.0         8          std 16    bad
trailing 19 bytes at offset 64: too short for a record
$ list @cut
#     offset       type                version         len        header    checksum
1     0            KERNEL              0.0.0.3         4          std 16    good
2     20           RFS                 4.0.0.0         100        std 16    runs past end of file
$ list @zero
#     offset       type                version         len        header    checksum
1     0            APPLICATION         0.0.0.0         0          ext 0     header length below 20
$ list @wraps
#     offset       type                version         len        header    checksum
1     0            KERNEL              0.0.0.0         4294967288 ext 20    size wraps 32 bits
$ create @ok dtb:1.0.0.0:@three kernel:1.0.0.0:@p
)");
  expect_session(1, R"($ verify @mixed
record 3 at offset 40 (DIAGS): checksum bad
trailing 19 bytes at offset 64: too short for a record
kvzimage: @mixed: verification failed
$ extract @mixed 3 @out
kvzimage: @mixed: record 3: checksum bad, not extracted
$ extract @cut 2 @out
kvzimage: @cut: record 2 at offset 20: runs past end of file
$ create @out app:1.0.0.0:@
kvzimage: @: not a regular file
$ create @out app:1.0.0.0:@huge
kvzimage: @huge: 4294967280 bytes do not fit a record (header and payload at most 4294967295)
$ create @out uboot:1.0.0.0:@u255
kvzimage: @u255: uboot payload of 255 bytes has no room for the header copy at 240-255
$ create @out kernel:1.0.0.0:@p dtb:1.0.0.0:@three
kvzimage: @three: last record of 19 bytes is below 20 and would not be seen
$ create @nodir/out app:1.0.0.0:@p
kvzimage: @nodir/out.tmp: No such file or directory
)");
  expect_session(2, R"($
kvzimage: no command given (see 'kvzimage --help')
$ list -v @p
kvzimage: unknown option '-v' (see 'kvzimage --help')
$ extract @p 4294967296 @out
kvzimage: bad record number '4294967296' (1 for the first record)
$ create @out kernel:1.0.0.0:@p APP:1.2.3.4:@p
kvzimage: unknown type 'APP' in 'APP:1.2.3.4:@p' (app, uboot, kernel, rfs, dtb, diags)
$ create @out app:1.2.3:@p
kvzimage: bad version in 'app:1.2.3:@p' (a.b.c.d, each 0 to 255)
$ create @out app,noembed:1.2.3.4:@p
kvzimage: option noembed applies only to uboot, in 'app,noembed:1.2.3.4:@p'
$ create @out app:1.2.3.4:
kvzimage: bad record 'app:1.2.3.4:' (TYPE[,OPTION...]:VERSION:FILE)
)");
  EXPECT_EQ(get("out"), bytes_of("earlier"));
}

}  // namespace
