// Building image records and bundles in memory for tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "crc.h"

namespace kvztest {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A complete record: header (standard, or extended when hdrlen is nonzero), payload, good crc.
inline Bytes make_record(uint32_t type_magic, uint32_t id, const Bytes& payload,
                         uint16_t hdrlen = 0) {
  const uint32_t magic = hdrlen ? (type_magic | kMagicExtended) : type_magic;
  const size_t header_size = hdrlen ? hdrlen : kStandardHeaderSize;
  Bytes rec(header_size + payload.size());
  encode_header(rec.data(), magic, id, static_cast<uint32_t>(payload.size()), hdrlen);
  std::copy(payload.begin(), payload.end(), rec.begin() + static_cast<long>(header_size));
  put_be32(rec.data(), gen_crc(rec.data() + 4, static_cast<uint32_t>(rec.size() - 4), kCrcInit));
  return rec;
}

// The first 20 bytes of a record with the given fields and no checksum, to express sizes that no
// writer would produce.
inline Bytes bare_header(uint32_t magic, uint32_t len, uint16_t hdrlen) {
  Bytes h(kHeaderReadSize, 0);
  put_be32(h.data() + 4, len);
  put_be32(h.data() + 8, magic);
  put_be16(h.data() + 18, hdrlen);
  return h;
}

inline Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The n bytes of b from offset at.
inline Bytes slice(const Bytes& b, size_t at, size_t n) {  // as much of it as b holds
  at = std::min(at, b.size());
  return Bytes(b.begin() + static_cast<long>(at),
               b.begin() + static_cast<long>(std::min(b.size(), at + n)));
}

// Deterministic filler bytes (xorshift), so that failures are reproducible.
inline Bytes pattern(size_t n, uint32_t seed = 1) {
  Bytes b(n);
  uint32_t x = seed ? seed : 1;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<uint8_t>(x);
  }
  return b;
}

}  // namespace kvztest
