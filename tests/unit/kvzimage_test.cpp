#include "kvzimage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crc.h"
#include "records.h"

#ifdef KVZ_HAVE_ZLIB
#include <zlib.h>
#endif

using kvztest::Bytes;
using kvztest::concat;
using kvztest::make_record;
using kvztest::pattern;

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs kvzimage in-process with its output and errors captured.
Outcome kvzimage(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"kvzimage"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  char* text[2] = {nullptr, nullptr};
  size_t len[2] = {0, 0};
  FILE* out = open_memstream(&text[0], &len[0]);
  FILE* err = open_memstream(&text[1], &len[1]);
  Outcome r;
  r.status = kvzimage_run(static_cast<int>(argv.size()), argv.data(), out, err);
  fclose(out);
  fclose(err);
  r.out.assign(text[0], len[0]);
  r.err.assign(text[1], len[1]);
  free(text[0]);
  free(text[1]);
  return r;
}

class Kvzimage : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "kvzimage_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::string put(const std::string& name, const Bytes& content) const {
    std::ofstream f(path(name), std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
    return path(name);
  }

  Bytes get(const std::string& name) const {
    std::ifstream f(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  bool exists(const std::string& name) const { return fs::exists(path(name)); }

  // A file of the given size that takes no space.
  std::string sparse(const std::string& name, uint64_t size) const {
    put(name, {});
    EXPECT_EQ(truncate(path(name).c_str(), static_cast<off_t>(size)), 0);
    return path(name);
  }

  fs::path dir_;
};

// The record's crc word is gen_crc over bytes 4.., and (on the host) the complement of zlib's.
void expect_crc_word(const Bytes& rec) {
  EXPECT_EQ(get_be32(rec.data()),
            gen_crc(rec.data() + 4, static_cast<uint32_t>(rec.size() - 4), kCrcInit));
#ifdef KVZ_HAVE_ZLIB
  const uLong z = crc32(0L, rec.data() + 4, static_cast<uInt>(rec.size() - 4));
  EXPECT_EQ(get_be32(rec.data()), static_cast<uint32_t>(~z));
#endif
}

Bytes slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

// ---- create -------------------------------------------------------------------------------------

TEST_F(Kvzimage, CreateWritesEveryTypeAndHeaderKindWithBigEndianFields) {
  const Bytes payload = pattern(300, 5);
  const std::string in = put("payload", payload);
  const struct {
    std::string word;
    uint8_t type;
    uint32_t hdrlen;  // 0 for a standard header
  } cases[] = {{"app", 1, 0},
               {"uboot,noembed", 2, 0},
               {"kernel", 3, 0},
               {"rfs", 4, 0},
               {"dtb", 5, 0},
               {"diags", 6, 0},
               {"rfs,hdrlen=20", 0x84, 20},
               {"kernel,hdrlen=32", 0x83, 32},
               {"app,hdrlen=65535", 0x81, 65535}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    const Outcome r = kvzimage({"create", path("out"), c.word + ":1.2.254.255:" + in});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const Bytes rec = get("out");
    const size_t header = c.hdrlen ? c.hdrlen : 16;
    ASSERT_EQ(rec.size(), header + 300u);
    const Bytes fields{0x00, 0x00, 0x01, 0x2C, c.type, 'K', 'V', 'Z', 1, 2, 254, 255};
    EXPECT_EQ(slice(rec, 4, 16), fields);
    if (c.hdrlen) {
      const Bytes hdrlen{0, 0, static_cast<uint8_t>(c.hdrlen >> 8), static_cast<uint8_t>(c.hdrlen)};
      EXPECT_EQ(slice(rec, 16, 20), hdrlen);
      EXPECT_EQ(slice(rec, 20, header), Bytes(header - 20, 0));
    }
    EXPECT_EQ(slice(rec, header, rec.size()), payload);
    expect_crc_word(rec);
    EXPECT_FALSE(exists("out.tmp"));
  }
}

TEST_F(Kvzimage, CreateBootLoaderCarriesItsHeaderAt240) {
  // The smallest payload that holds the copy, and an extended record, whose copy keeps bit 31.
  for (const auto& [size, hdrlen] : {std::pair<size_t, uint32_t>{256, 0}, {1000, 24}}) {
    SCOPED_TRACE(size);
    const Bytes payload = pattern(size, 11);
    const std::string opt = hdrlen ? ",hdrlen=" + std::to_string(hdrlen) : "";
    const std::string spec = "uboot" + opt + ":3.1.4.1:" + put("u", payload);
    ASSERT_EQ(kvzimage({"create", path("out"), spec}).status, 0);
    const Bytes rec = get("out");
    const size_t start = hdrlen ? hdrlen : 16;
    const Bytes got = slice(rec, start, rec.size());
    ASSERT_EQ(got.size(), size);
    EXPECT_EQ(slice(got, 240, 244), Bytes(4, 0));
    EXPECT_EQ(slice(got, 244, 256), slice(rec, 4, 16));
    EXPECT_EQ(got[248], hdrlen ? 0x82 : 0x02);
    EXPECT_EQ(slice(got, 0, 240), slice(payload, 0, 240));
    EXPECT_EQ(slice(got, 256, size), slice(payload, 256, size));
    expect_crc_word(rec);  // the checksum covers the copy, not the original bytes
  }
  // noembed leaves any payload as it is, however short.
  const Bytes small = pattern(10, 2);
  ASSERT_EQ(kvzimage({"create", path("out"), "uboot,noembed:1.0.0.0:" + put("s", small)}).status,
            0);
  EXPECT_EQ(get("out"), make_record(kMagicBootLoader, 0x01000000, small));
  // Without room for the copy, nothing is written.
  const std::string short_in = put("short", pattern(255));
  const Outcome r = kvzimage({"create", path("out2"), "uboot:1.0.0.0:" + short_in});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kvzimage: " + short_in +
                       ": uboot payload of 255 bytes has no room for the header copy at 240-255\n");
  EXPECT_FALSE(exists("out2"));
  EXPECT_FALSE(exists("out2.tmp"));
}

TEST_F(Kvzimage, CreatePutsRecordsBackToBackInOrder) {
  // The large payload spans several copy buffers; the file name holds a colon.
  const Bytes big = pattern(200001, 3);
  const Bytes app = pattern(4096, 4);
  const Bytes empty;
  const std::string big_in = put("big:1", big);
  ASSERT_EQ(kvzimage({"create", path("out"), "rfs:4.0.0.1:" + big_in,
                      "dtb:5.0.0.0:" + put("e", empty), "app,hdrlen=64:1.0.0.2:" + put("a", app)})
                .status,
            0);
  EXPECT_EQ(get("out"), concat({make_record(kMagicRootFs, 0x04000001, big),
                                make_record(kMagicDeviceTree, 0x05000000, empty),
                                make_record(kMagicApplication, 0x01000002, app, 64)}));
  expect_crc_word(slice(get("out"), 0, 16 + big.size()));
}

TEST_F(Kvzimage, CreateRejectsBadSpecsWithUsageStatus) {
  const std::string in = put("p", pattern(300));
  const struct {
    std::string spec;
    std::string err;
  } cases[] = {
      {"APP:1.2.3.4:" + in,
       "unknown type 'APP' in 'APP:1.2.3.4:" + in + "' (app, uboot, kernel, rfs, dtb, diags)"},
      {"app:1.2.3:" + in, "bad version in 'app:1.2.3:" + in + "' (a.b.c.d, each 0 to 255)"},
      {"app:1.2.3.256:" + in, "bad version in 'app:1.2.3.256:" + in + "' (a.b.c.d, each 0 to 255)"},
      {"app:1..3.4:" + in, "bad version in 'app:1..3.4:" + in + "' (a.b.c.d, each 0 to 255)"},
      {"app:1.2.3.+4:" + in, "bad version in 'app:1.2.3.+4:" + in + "' (a.b.c.d, each 0 to 255)"},
      {"app:0001.2.3.4:" + in,
       "bad version in 'app:0001.2.3.4:" + in + "' (a.b.c.d, each 0 to 255)"},
      {"app,hdrlen=19:1.2.3.4:" + in,
       "bad hdrlen=19 in 'app,hdrlen=19:1.2.3.4:" + in + "' (header length 20 to 65535)"},
      {"app,hdrlen=65536:1.2.3.4:" + in,
       "bad hdrlen=65536 in 'app,hdrlen=65536:1.2.3.4:" + in + "' (header length 20 to 65535)"},
      {"app,noembed:1.2.3.4:" + in,
       "option noembed applies only to uboot, in 'app,noembed:1.2.3.4:" + in + "'"},
      {"app,:1.2.3.4:" + in, "unknown option '' in 'app,:1.2.3.4:" + in + "' (hdrlen=N, noembed)"},
      {"app:1.2.3.4:", "bad record 'app:1.2.3.4:' (TYPE[,OPTION...]:VERSION:FILE)"},
      {"app:" + in, "bad record 'app:" + in + "' (TYPE[,OPTION...]:VERSION:FILE)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec);
    const Outcome r = kvzimage({"create", path("out"), "kernel:1.0.0.0:" + in, c.spec});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kvzimage: " + c.err + "\n");
    EXPECT_FALSE(exists("out"));
    EXPECT_FALSE(exists("out.tmp"));
  }
  const Outcome r = kvzimage({"create", path("out")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "kvzimage: create needs OUT and at least one SPEC (see 'kvzimage create --help')\n");
}

TEST_F(Kvzimage, CreateFailuresLeaveTheEarlierFileAlone) {
  const std::string in = put("p", pattern(300));
  const Bytes before = pattern(50, 8);
  put("out", before);
  const std::string missing = path("missing");
  const std::string huge_std = sparse("huge_std", 0xFFFFFFF0ull);  // 16 + len passes 2^32 - 1
  const std::string huge_ext = sparse("huge_ext", 0xFFFF0001ull);  // 65535 + len does too
  const std::string huge = sparse("huge", 0x100000000ull);
  const struct {
    std::string spec;
    std::string err;
  } cases[] = {
      {"app:1.0.0.0:" + missing, missing + ": No such file or directory"},
      {"app:1.0.0.0:" + dir_.string(), dir_.string() + ": not a regular file"},
      {"app:1.0.0.0:" + huge_std,
       huge_std + ": 4294967280 bytes do not fit a record (header and payload at most 4294967295)"},
      {"app,hdrlen=65535:1.0.0.0:" + huge_ext,
       huge_ext + ": 4294901761 bytes do not fit a record (header and payload at most 4294967295)"},
      {"rfs:1.0.0.0:" + huge,
       huge + ": 4294967296 bytes do not fit a record (header and payload at most 4294967295)"},
      // Three payload bytes make a 19-byte record: at the end of a bundle no reader sees it.
      {"dtb:1.0.0.0:" + put("three", pattern(3)),
       path("three") + ": last record of 19 bytes is below 20 and would not be seen"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec);
    const Outcome r = kvzimage({"create", path("out"), "kernel:1.0.0.0:" + in, c.spec});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kvzimage: " + c.err + "\n");
    EXPECT_EQ(get("out"), before);
    EXPECT_FALSE(exists("out.tmp"));
  }
  // The same short record is fine inside a bundle, or when an extended header makes it 20 bytes.
  EXPECT_EQ(
      kvzimage({"create", path("ok1"), "dtb:1.0.0.0:" + path("three"), "app:1.0.0.0:" + in}).status,
      0);
  put("empty", {});
  EXPECT_EQ(kvzimage({"create", path("ok2"), "dtb,hdrlen=20:1.0.0.0:" + path("empty")}).status, 0);
  EXPECT_EQ(get("ok2").size(), 20u);

  const Outcome r = kvzimage({"create", path("nodir/out"), "app:1.0.0.0:" + in});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kvzimage: " + path("nodir/out.tmp") + ": No such file or directory\n");
}

// ---- list ---------------------------------------------------------------------------------------

TEST_F(Kvzimage, ListShowsEveryRecordInStableColumns) {
  Bytes unknown = make_record(0x074B565Au, 0x0A0B0C0D, pattern(4));
  Bytes bad = make_record(kMagicDiagnostics, 0x06000000, pattern(8));
  bad[20] ^= 1;
  const std::string file =
      put("b", concat({make_record(kMagicApplication, 0x01020304, pattern(1000)),
                       make_record(kMagicBootLoader, 0xFF000102, pattern(300), 32), unknown, bad,
                       make_record(kMagicDeviceTree, 0x00000001, {}), Bytes(19, 0xEE)}));
  const Outcome r = kvzimage({"list", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "#     offset       type                version         len        header    checksum\n"
            "1     0            APPLICATION         1.2.3.4         1000       std 16    good\n"
            "2     1016         UBOOT               255.0.1.2       300        ext 32    good\n"
            "3     1348         unknown(0x074b565a) 10.11.12.13     4          std 16    good\n"
            "4     1368         DIAGS               6.0.0.0         8          std 16    bad\n"
            "5     1392         DFT                 0.0.0.1         0          std 16    good\n"
            "trailing 19 bytes at offset 1408: too short for a record\n");
}

TEST_F(Kvzimage, ListReportsMalformedRecordsAndStops) {
  const uint32_t ext_app = kMagicApplication | kMagicExtended;
  Bytes zero(64, 0);  // extended, hdrlen 0, len 0: a record of no size
  put_be32(zero.data() + 8, ext_app);
  Bytes wraps(40, 0);  // 16 + len passes 32 bits
  put_be32(wraps.data() + 4, 0xFFFFFFF8u);
  put_be32(wraps.data() + 8, kMagicKernel | kMagicExtended);
  put_be16(wraps.data() + 18, 20);
  Bytes cut = make_record(kMagicRootFs, 0x04000000, pattern(100));
  cut.resize(60);
  const Bytes good = make_record(kMagicKernel, 0x03000000, pattern(4));
  const struct {
    Bytes content;
    std::string last_row;
  } cases[] = {
      {zero,
       "1     0            APPLICATION         0.0.0.0         0          ext 0     "
       "header length below 20\n"},
      {wraps,
       "1     0            KERNEL              0.0.0.0         4294967288 ext 20    "
       "size wraps 32 bits\n"},
      {concat({good, cut, good}),
       "2     20           RFS                 4.0.0.0         100  "
       "      std 16    runs past end of file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last_row);
    const Outcome r = kvzimage({"list", put("b", c.content)});
    EXPECT_EQ(r.status, 0);
    ASSERT_GE(r.out.size(), c.last_row.size());
    EXPECT_EQ(r.out.substr(r.out.size() - c.last_row.size()), c.last_row);
  }
}

// ---- verify -------------------------------------------------------------------------------------

TEST_F(Kvzimage, VerifyPassesOnlyWholeGoodBundles) {
  const Bytes app = make_record(kMagicApplication, 1, pattern(500));
  const Bytes kernel = make_record(kMagicKernel, 2, pattern(700), 40);
  const Bytes bundle = concat({app, kernel});
  Outcome r = kvzimage({"verify", put("good", bundle)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "2 records good\n");
  EXPECT_EQ(r.err, "");

  Bytes flipped = bundle;  // a payload byte, then a header byte (the version) of record 2
  const std::string kernel_bad = "record 2 at offset 516 (KERNEL): checksum bad\n";
  for (size_t at : {app.size() + 40 + 699, app.size() + 15}) {
    flipped = bundle;
    flipped[at] ^= 0x80;
    r = kvzimage({"verify", put("bad", flipped)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kernel_bad);
    EXPECT_EQ(r.err, "kvzimage: " + path("bad") + ": verification failed\n");
  }

  const struct {
    Bytes content;
    std::string out;
  } failing[] = {
      {slice(bundle, 0, bundle.size() - 1),
       "record 2 at offset 516 (KERNEL): runs past end of file\n"},
      {slice(bundle, 0, app.size() + 19),
       "trailing 19 bytes at offset 516: too short for a record\n"},
      {{}, "no record of a known type\n"},
      {make_record(0x004B565Au, 0, pattern(30)), "no record of a known type\n"},
  };
  for (const auto& c : failing) {
    SCOPED_TRACE(c.out);
    r = kvzimage({"verify", put("f", c.content)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "kvzimage: " + path("f") + ": verification failed\n");
  }
}

TEST_F(Kvzimage, VerifySkipsRecordsOfNoKnownType) {
  Bytes other = make_record(0x014B565Bu, 0, pattern(30));  // right type byte, wrong tag
  other[25] ^= 1;
  const Outcome r = kvzimage(
      {"verify", put("b", concat({other, make_record(kMagicDiagnostics, 6, pattern(40))}))});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1 record good\n");
}

// ---- extract ------------------------------------------------------------------------------------

TEST_F(Kvzimage, ExtractWritesThePayloadByteForByte) {
  const Bytes a = pattern(150000, 21);
  const Bytes b = pattern(333, 22);
  // The empty record sits inside the bundle: at its end, 16 bytes would be too few to be seen.
  const std::string file =
      put("b", concat({make_record(kMagicApplication, 1, a), make_record(kMagicKernel, 3, {}),
                       make_record(kMagicBootLoader, 2, b, 100)}));
  const Bytes empty;
  const Bytes* expected[] = {&a, &empty, &b};
  for (int n = 1; n <= 3; ++n) {
    const Outcome r = kvzimage({"extract", file, std::to_string(n), path("out")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get("out"), *expected[n - 1]);
  }
  EXPECT_FALSE(exists("out.tmp"));

  // A payload made by create comes back with its embedded header.
  const Bytes u = pattern(600, 23);
  ASSERT_EQ(kvzimage({"create", path("c"), "uboot:9.8.7.6:" + put("u", u)}).status, 0);
  ASSERT_EQ(kvzimage({"extract", path("c"), "1", path("out")}).status, 0);
  EXPECT_EQ(get("out"), slice(get("c"), 16, 616));
}

TEST_F(Kvzimage, ExtractRefusesWhatItCannotVouchFor) {
  const Bytes good = make_record(kMagicKernel, 3, pattern(64));
  Bytes bad = make_record(kMagicRootFs, 4, pattern(64));
  bad[70] ^= 4;
  Bytes cut = make_record(kMagicRootFs, 4, pattern(64));
  cut.resize(70);
  const std::string file = put("b", concat({good, bad, cut}));
  const Bytes before = pattern(9);
  put("out", before);
  const struct {
    std::string n;
    int status;
    std::string err;
  } cases[] = {
      {"2", 1, file + ": record 2: checksum bad, not extracted"},
      {"3", 1, file + ": record 3 at offset 160: runs past end of file"},
      {"4", 1, file + ": no record 4 (the bundle holds 3)"},
      {"0", 2, "bad record number '0' (1 for the first record)"},
      {"1x", 2, "bad record number '1x' (1 for the first record)"},
      {"4294967296", 2, "bad record number '4294967296' (1 for the first record)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    const Outcome r = kvzimage({"extract", file, c.n, path("out")});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "kvzimage: " + c.err + "\n");
    EXPECT_EQ(get("out"), before);
    EXPECT_FALSE(exists("out.tmp"));
  }
}

// ---- command line -------------------------------------------------------------------------------

TEST_F(Kvzimage, HelpAndUsageErrors) {
  Outcome r = kvzimage({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* cmd : {"create", "list", "verify", "extract"}) {
    EXPECT_NE(r.out.find(std::string("\n  ") + cmd + " "), std::string::npos) << cmd;
    const Outcome h = kvzimage({cmd, "--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind(std::string("usage: kvzimage ") + cmd + " ", 0), 0u) << h.out;
  }
  const std::string file = put("b", make_record(kMagicKernel, 3, pattern(64)));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 2, "no command given (see 'kvzimage --help')"},
      {{"lst", file}, 2, "unknown command 'lst' (see 'kvzimage --help')"},
      {{"list"}, 2, "list needs one FILE (see 'kvzimage list --help')"},
      {{"verify", file, file}, 2, "verify needs one FILE (see 'kvzimage verify --help')"},
      {{"extract", file, "1"}, 2, "extract needs FILE N OUT (see 'kvzimage extract --help')"},
      {{"list", "-v", file}, 2, "unknown option '-v' (see 'kvzimage --help')"},
      {{"list", path("none")}, 1, path("none") + ": No such file or directory"},
      {{"verify", dir_.string()}, 1, dir_.string() + ": not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    r = kvzimage(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "kvzimage: " + c.err + "\n");
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
