// kvzimage list, verify and extract: walk a bundle the way the launcher does and check each
// record through a fixed buffer, so neither a huge record nor a hostile size costs memory or reads
// outside the file.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common.h"
#include "record.h"
#include "kvzimage.h"

using namespace kvzimage;

namespace {

enum class Verdict { kGood, kBad, kMalformed, kReadError };

// An open bundle and the walk over it.
struct Bundle {
  const char* path = nullptr;
  int fd = -1;
  BundleWalk walk;
  std::vector<uint8_t> buf;
};

bool bundle_open(Bundle* b, const char* path, FILE* err) {
  uint64_t size = 0;
  b->path = path;
  b->fd = open_input(path, &size, err);
  if (b->fd < 0) return false;
  if (!bundle_walk_begin(&b->walk, b->fd)) {
    tool_error(err, "%s: %s", path, strerror(errno));
    close(b->fd);
    return false;
  }
  // A bundle starts with a record header; anything else (an archive, a kernel image) would list
  // as rows of junk.
  uint8_t first[kHeaderReadSize];
  if (pread_full(b->fd, first, sizeof first, 0) != static_cast<ssize_t>(sizeof first) ||
      (get_be32(first + 8) & ~0xFF000000u) != kMagicTag) {
    tool_error(err, "%s: not an image bundle (no record header at offset 0)", path);
    close(b->fd);
    return false;
  }
  b->buf.resize(kCopyBufferSize);
  return true;
}

void bundle_close(Bundle* b) {
  close(b->fd);
}

Verdict check_record(Bundle* b, const BundleRecord& rec) {
  if (rec.shape != RecordShape::kOk) return Verdict::kMalformed;
  uint32_t crc = 0;
  if (record_crc_fd(b->fd, rec.offset, rec.hdr, b->buf.data(), b->buf.size(), &crc) != 0) {
    return Verdict::kReadError;
  }
  return crc == rec.hdr.crc ? Verdict::kGood : Verdict::kBad;
}

const char* verdict_text(Verdict v, const BundleRecord& rec) {
  switch (v) {
    case Verdict::kGood:
      return "good";
    case Verdict::kBad:
      return "bad";
    case Verdict::kMalformed:
      return record_shape_text(rec.shape);
    case Verdict::kReadError:
      return "read error";
  }
  return "?";
}

struct TypeText {
  char text[24];
};

// The short name of a known type, else the magic word as stored.
TypeText type_text(const RecordHeader& h) {
  TypeText t{};
  const char* name = record_type_name(h.type_magic);
  if (name != nullptr) {
    snprintf(t.text, sizeof t.text, "%s", name);
  } else {
    snprintf(t.text, sizeof t.text, "unknown(0x%08x)", h.magic);
  }
  return t;
}

// Bytes left after the last record the walk could step over: fewer than a header read.
uint64_t trailing_bytes(const Bundle& b, bool walk_broken) {
  if (walk_broken || b.walk.next >= b.walk.file_size) return 0;
  return b.walk.file_size - b.walk.next;
}

void print_trailing(FILE* out, const Bundle& b, bool walk_broken) {
  const uint64_t n = trailing_bytes(b, walk_broken);
  if (n == 0) return;
  // Only a failed read stops the walk with a whole header still ahead.
  fprintf(out, "trailing %llu bytes at offset %llu: %s\n", static_cast<unsigned long long>(n),
          static_cast<unsigned long long>(b.walk.next),
          n < kHeaderReadSize ? "too short for a record" : "read error");
}

constexpr const char* kListFormat = "%-5s %-12s %-19s %-15s %-10s %-9s %s\n";

void print_list_row(FILE* out, unsigned index, const BundleRecord& rec, Verdict v) {
  char idx[12];
  char offset[24];
  char len[12];
  char kind[12];
  snprintf(idx, sizeof idx, "%u", index);
  snprintf(offset, sizeof offset, "%llu", static_cast<unsigned long long>(rec.offset));
  snprintf(len, sizeof len, "%u", rec.hdr.len);
  if (rec.hdr.extended) {
    snprintf(kind, sizeof kind, "ext %u", rec.hdr.hdrlen);
  } else {
    snprintf(kind, sizeof kind, "std %u", kStandardHeaderSize);
  }
  fprintf(out, kListFormat, idx, offset, type_text(rec.hdr).text, version_text(rec.hdr.id).text,
          len, kind, verdict_text(v, rec));
}

bool one_argument(int argc, const char* command, FILE* err) {
  if (argc == 1) return true;
  tool_error(err, "%s needs one FILE (see 'kvzimage %s --help')", command, command);
  return false;
}

void print_problem(FILE* out, unsigned index, const BundleRecord& rec, Verdict v) {
  fprintf(out, "record %u at offset %llu (%s): %s%s\n", index,
          static_cast<unsigned long long>(rec.offset), type_text(rec.hdr).text,
          v == Verdict::kBad ? "checksum " : "", verdict_text(v, rec));
}

// Walks to record `index` (1-based, as list numbers them). False when the bundle ends first;
// *count then holds the number of records it has.
bool find_record(Bundle* b, unsigned index, BundleRecord* rec, unsigned* count) {
  for (*count = 0; *count < index; ++*count) {
    if (!bundle_walk_next(&b->walk, rec)) return false;
  }
  return true;
}

// Feeds `count` bytes at `offset` of the bundle to the checksum and, when out_fd is not -1, to
// the output file.
bool copy_range(Bundle* b, uint64_t offset, uint64_t count, int out_fd, uint32_t* crc) {
  while (count > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count, b->buf.size()));
    const ssize_t got = pread_full(b->fd, b->buf.data(), want, offset);
    if (got != static_cast<ssize_t>(want)) {
      if (got >= 0) errno = EIO;  // the file shrank under us
      return false;
    }
    *crc = gen_crc(b->buf.data(), static_cast<uint32_t>(want), *crc);
    if (out_fd >= 0 && !write_all(out_fd, b->buf.data(), want)) return false;
    offset += want;
    count -= want;
  }
  return true;
}

// Copies the payload of a well-formed record to the output while checking the whole record.
bool extract_payload(Bundle* b, const BundleRecord& rec, unsigned index, OutputFile* file,
                     FILE* err) {
  const RecordHeader& h = rec.hdr;
  uint32_t crc = kCrcInit;
  if (!copy_range(b, rec.offset + 4, h.payload_offset - 4, -1, &crc) ||
      !copy_range(b, rec.offset + h.payload_offset, h.len, file->fd, &crc)) {
    tool_error(err, "%s: record %u: %s", b->path, index, strerror(errno));
    return false;
  }
  if (crc != h.crc) {
    tool_error(err, "%s: record %u: checksum bad, not extracted", b->path, index);
    return false;
  }
  return true;
}

int extract_record(Bundle* b, unsigned index, const char* out_path, FILE* err) {
  BundleRecord rec;
  unsigned count = 0;
  if (!find_record(b, index, &rec, &count)) {
    tool_error(err, "%s: no record %u (the bundle holds %u)", b->path, index, count);
    return kExitBad;
  }
  if (rec.shape != RecordShape::kOk) {
    tool_error(err, "%s: record %u at offset %llu: %s", b->path, index,
               static_cast<unsigned long long>(rec.offset), record_shape_text(rec.shape));
    return kExitBad;
  }
  OutputFile file;
  if (!output_open(&file, out_path, err)) return kExitBad;
  if (!extract_payload(b, rec, index, &file, err)) {
    output_abort(&file);
    return kExitBad;
  }
  return output_commit(&file, err) ? kExitOk : kExitBad;
}

}  // namespace

int kvzimage_list(int argc, const char* const* argv, FILE* out, FILE* err) {
  if (!one_argument(argc, "list", err)) return kExitUsage;
  Bundle b;
  if (!bundle_open(&b, argv[0], err)) return kExitBad;
  fprintf(out, kListFormat, "#", "offset", "type", "version", "len", "header", "checksum");
  BundleRecord rec;
  unsigned index = 0;
  bool broken = false;
  while (bundle_walk_next(&b.walk, &rec)) {
    const Verdict v = check_record(&b, rec);
    print_list_row(out, ++index, rec, v);
    broken = v == Verdict::kMalformed;
  }
  print_trailing(out, b, broken);
  bundle_close(&b);
  return kExitOk;
}

int kvzimage_verify(int argc, const char* const* argv, FILE* out, FILE* err) {
  if (!one_argument(argc, "verify", err)) return kExitUsage;
  Bundle b;
  if (!bundle_open(&b, argv[0], err)) return kExitBad;
  BundleRecord rec;
  unsigned index = 0;
  unsigned known = 0;
  unsigned problems = 0;
  bool broken = false;
  while (bundle_walk_next(&b.walk, &rec)) {
    const Verdict v = check_record(&b, rec);
    ++index;
    broken = v == Verdict::kMalformed;
    // Records of no known type are skipped by every reader, so only their shape matters.
    if (!broken && !is_known_type(rec.hdr.type_magic)) continue;
    ++known;
    if (v == Verdict::kGood) continue;
    print_problem(out, index, rec, v);
    ++problems;
  }
  if (trailing_bytes(b, broken) != 0) ++problems;
  print_trailing(out, b, broken);
  bundle_close(&b);
  if (known == 0 && problems == 0) fprintf(out, "no record of a known type\n");
  if (known == 0 || problems != 0) {
    tool_error(err, "%s: verification failed", argv[0]);
    return kExitBad;
  }
  fprintf(out, "%u record%s good\n", known, known == 1 ? "" : "s");
  return kExitOk;
}

int kvzimage_extract(int argc, const char* const* argv, FILE* /*out*/, FILE* err) {
  uint64_t index = 0;
  if (argc != 3) {
    tool_error(err, "extract needs FILE N OUT (see 'kvzimage extract --help')");
    return kExitUsage;
  }
  if (!parse_decimal(argv[1], 0xFFFFFFFFu, &index) || index == 0) {
    tool_error(err, "bad record number '%s' (1 for the first record)", argv[1]);
    return kExitUsage;
  }
  Bundle b;
  if (!bundle_open(&b, argv[0], err)) return kExitBad;
  const int status = extract_record(&b, static_cast<unsigned>(index), argv[2], err);
  bundle_close(&b);
  return status;
}
