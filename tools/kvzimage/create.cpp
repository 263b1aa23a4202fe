// kvzimage create OUT SPEC...: one record per SPEC ("TYPE[,OPTION...]:VERSION:FILE"), back to
// back in the order given.
//
// Payloads are never held whole (release builds make records of a gigabyte and more): each record
// is written as its header, then its payload streamed through a fixed buffer while the checksum
// runs over header bytes 4.. and the payload, and finally the crc word is written in place.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "record.h"
#include "kvzimage.h"

using namespace kvzimage;

namespace {

struct RecordSpec {
  const char* text = nullptr;  // the whole SPEC, for messages
  uint32_t type_magic = 0;
  uint32_t id = 0;
  uint16_t hdrlen = 0;  // 0: standard 16-byte header
  bool embed = false;   // boot loader: copy the header into payload bytes 240-255
  std::string file;
};

struct TypeWord {
  const char* word;
  uint32_t magic;
};

constexpr TypeWord kTypeWords[] = {
    {"app", kMagicApplication}, {"uboot", kMagicBootLoader}, {"kernel", kMagicKernel},
    {"rfs", kMagicRootFs},      {"dtb", kMagicDeviceTree},   {"diags", kMagicDiagnostics},
};

// The embedded copy covers payload bytes 240-255, so a boot-loader payload needs this many.
constexpr uint64_t kEmbeddedHeaderEnd = kEmbeddedHeaderOffset + kStandardHeaderSize;
constexpr uint64_t kMaxRecordSize = 0xFFFFFFFFu;

bool parse_type(const std::string& word, RecordSpec* spec, FILE* err) {
  for (const TypeWord& t : kTypeWords) {
    if (word == t.word) {
      spec->type_magic = t.magic;
      spec->embed = t.magic == kMagicBootLoader;
      return true;
    }
  }
  tool_error(err, "unknown type '%s' in '%s' (app, uboot, kernel, rfs, dtb, diags)", word.c_str(),
             spec->text);
  return false;
}

bool parse_option(const std::string& option, RecordSpec* spec, FILE* err) {
  if (option == "noembed") {
    if (spec->type_magic == kMagicBootLoader) {
      spec->embed = false;
      return true;
    }
    tool_error(err, "option noembed applies only to uboot, in '%s'", spec->text);
    return false;
  }
  if (option.rfind("hdrlen=", 0) == 0) {
    uint64_t n = 0;
    if (parse_decimal(option.c_str() + 7, 0xFFFF, &n) && n >= kMinExtendedHeaderSize) {
      spec->hdrlen = static_cast<uint16_t>(n);
      return true;
    }
    tool_error(err, "bad %s in '%s' (header length 20 to 65535)", option.c_str(), spec->text);
    return false;
  }
  tool_error(err, "unknown option '%s' in '%s' (hdrlen=N, noembed)", option.c_str(), spec->text);
  return false;
}

// "TYPE[,OPTION...]": the type comes first, the options follow in any order.
bool parse_type_and_options(const std::string& field, RecordSpec* spec, FILE* err) {
  size_t start = 0;
  size_t comma = field.find(',');
  if (!parse_type(field.substr(0, comma), spec, err)) return false;
  while (comma != std::string::npos) {
    start = comma + 1;
    comma = field.find(',', start);
    const size_t count = comma == std::string::npos ? std::string::npos : comma - start;
    if (!parse_option(field.substr(start, count), spec, err)) return false;
  }
  return true;
}

// "a.b.c.d", four decimal numbers of 0 to 255, a being the most significant byte.
bool parse_version(const std::string& field, uint32_t* id) {
  uint32_t v = 0;
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t dot = field.find('.', start);
    if ((dot == std::string::npos) != (i == 3)) return false;
    const std::string part = field.substr(start, dot == std::string::npos ? dot : dot - start);
    uint64_t n = 0;
    if (part.size() > 3 || !parse_decimal(part.c_str(), 255, &n)) return false;
    v = v << 8 | static_cast<uint32_t>(n);
    start = dot + 1;
  }
  *id = v;
  return true;
}

// FILE is everything after the second colon, so file names may hold colons themselves.
bool parse_spec(const char* text, RecordSpec* spec, FILE* err) {
  spec->text = text;
  const std::string s(text);
  const size_t c1 = s.find(':');
  const size_t c2 = c1 == std::string::npos ? c1 : s.find(':', c1 + 1);
  if (c2 == std::string::npos || c2 + 1 == s.size()) {
    tool_error(err, "bad record '%s' (TYPE[,OPTION...]:VERSION:FILE)", text);
    return false;
  }
  if (!parse_type_and_options(s.substr(0, c1), spec, err)) return false;
  if (!parse_version(s.substr(c1 + 1, c2 - c1 - 1), &spec->id)) {
    tool_error(err, "bad version in '%s' (a.b.c.d, each 0 to 255)", text);
    return false;
  }
  spec->file = s.substr(c2 + 1);
  return true;
}

uint32_t header_size(const RecordSpec& spec) {
  return spec.hdrlen != 0 ? spec.hdrlen : kStandardHeaderSize;
}

// The payload sizes that the record format and the walk can carry. A record shorter than the 20
// bytes every reader takes first is invisible when it ends a bundle, so the last one must reach 20.
bool check_payload_size(const RecordSpec& spec, uint64_t size, bool last, FILE* err) {
  const uint64_t total = header_size(spec) + size;
  if (total > kMaxRecordSize) {
    tool_error(err, "%s: %llu bytes do not fit a record (header and payload at most %llu)",
               spec.file.c_str(), static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(kMaxRecordSize));
    return false;
  }
  // A record that no board can install is refused here rather than at the install.
  const uint32_t limit = partition_limit(spec.type_magic);
  const uint64_t tested = spec.type_magic == kMagicBootLoader ? size : total;
  if (limit != 0 && tested > limit) {
    const char* word = "";
    for (const TypeWord& t : kTypeWords)
      if (t.magic == spec.type_magic) word = t.word;
    tool_error(err, "%s: %s %s of %llu bytes is too big for its partition (at most %u)",
               spec.file.c_str(), word, spec.type_magic == kMagicBootLoader ? "payload" : "record",
               static_cast<unsigned long long>(tested), limit);
    return false;
  }
  if (spec.embed && size < kEmbeddedHeaderEnd) {
    tool_error(err, "%s: uboot payload of %llu bytes has no room for the header copy at 240-255",
               spec.file.c_str(), static_cast<unsigned long long>(size));
    return false;
  }
  if (last && total < kHeaderReadSize) {
    tool_error(err, "%s: last record of %llu bytes is below 20 and would not be seen",
               spec.file.c_str(), static_cast<unsigned long long>(total));
    return false;
  }
  return true;
}

// Overwrites the part of payload bytes 240-255 that falls in the chunk at payload offset `pos`.
void patch_embedded(uint8_t* chunk, uint64_t pos, size_t n, const uint8_t* copy) {
  for (uint64_t i = 0; i < kStandardHeaderSize; ++i) {
    const uint64_t at = kEmbeddedHeaderOffset + i;
    if (at >= pos && at < pos + n) chunk[at - pos] = copy[i];
  }
}

struct Stream {
  int in;
  int out;
  const char* out_name;
  std::vector<uint8_t>* buf;
};

// Copies `len` payload bytes, patching in the embedded header and extending the checksum.
bool stream_payload(const Stream& s, const RecordSpec& spec, uint64_t len, const uint8_t* copy,
                    uint32_t* crc, FILE* err) {
  for (uint64_t pos = 0; pos < len;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(len - pos, s.buf->size()));
    const ssize_t got = read_full(s.in, s.buf->data(), want);
    if (got != static_cast<ssize_t>(want)) {
      tool_error(err, "%s: %s", spec.file.c_str(), got < 0 ? strerror(errno) : "file shrank");
      return false;
    }
    if (spec.embed) patch_embedded(s.buf->data(), pos, want, copy);
    *crc = gen_crc(s.buf->data(), static_cast<uint32_t>(want), *crc);
    if (!write_all(s.out, s.buf->data(), want)) {
      tool_error(err, "%s: %s", s.out_name, strerror(errno));
      return false;
    }
    pos += want;
  }
  return true;
}

// Appends one record at offset `at` of the output; *end receives the offset after it.
bool write_record(const Stream& s, const RecordSpec& spec, uint64_t len, uint64_t at, uint64_t* end,
                  FILE* err) {
  const uint32_t magic = spec.hdrlen != 0 ? spec.type_magic | kMagicExtended : spec.type_magic;
  std::vector<uint8_t> header(header_size(spec));
  encode_header(header.data(), magic, spec.id, static_cast<uint32_t>(len), spec.hdrlen);
  uint8_t copy[kStandardHeaderSize] = {};  // crc word 0, then len, magic and id as in the header
  memcpy(copy + 4, header.data() + 4, kStandardHeaderSize - 4);
  uint32_t crc = gen_crc(header.data() + 4, static_cast<uint32_t>(header.size() - 4), kCrcInit);
  if (!write_all(s.out, header.data(), header.size())) {
    tool_error(err, "%s: %s", s.out_name, strerror(errno));
    return false;
  }
  if (!stream_payload(s, spec, len, copy, &crc, err)) return false;
  uint8_t word[4];
  put_be32(word, crc);
  if (!pwrite_all(s.out, word, sizeof word, at)) {
    tool_error(err, "%s: %s", s.out_name, strerror(errno));
    return false;
  }
  *end = at + header.size() + len;
  return true;
}

bool add_record(const Stream& out, const RecordSpec& spec, bool last, uint64_t* at, FILE* err) {
  uint64_t size = 0;
  const int in = open_input(spec.file.c_str(), &size, err);
  if (in < 0) return false;
  Stream s = out;
  s.in = in;
  const bool ok =
      check_payload_size(spec, size, last, err) && write_record(s, spec, size, *at, at, err);
  close(in);
  return ok;
}

bool write_bundle(OutputFile* file, const std::vector<RecordSpec>& specs, FILE* err) {
  std::vector<uint8_t> buf(kCopyBufferSize);
  const Stream out{-1, file->fd, file->tmp.c_str(), &buf};
  uint64_t at = 0;
  for (size_t i = 0; i < specs.size(); ++i) {
    if (!add_record(out, specs[i], i + 1 == specs.size(), &at, err)) return false;
  }
  return true;
}

}  // namespace

int kvzimage_create(int argc, const char* const* argv, FILE* /*out*/, FILE* err) {
  if (argc < 2) {
    tool_error(err, "create needs OUT and at least one SPEC (see 'kvzimage create --help')");
    return kExitUsage;
  }
  std::vector<RecordSpec> specs(static_cast<size_t>(argc - 1));
  for (int i = 1; i < argc; ++i) {
    if (!parse_spec(argv[i], &specs[static_cast<size_t>(i - 1)], err)) return kExitUsage;
  }
  OutputFile file;
  if (!output_open(&file, argv[0], err)) return kExitBad;
  if (!write_bundle(&file, specs, err)) {
    output_abort(&file);
    return kExitBad;
  }
  return output_commit(&file, err) ? kExitOk : kExitBad;
}
