// The CRC-32 that protects image records: table-driven, several bytes at a step, correct on both
// byte orders.
#pragma once

#include <cstdint>

// ---- Checksum --------------------------------------------------------------------------------

// Initial value every caller passes to gen_crc.
inline constexpr uint32_t kCrcInit = 0xFFFFFFFFu;

// Reflected CRC-32 (polynomial 0xEDB88320) without final inversion (CRC-32/JAMCRC): the
// complement of zlib's crc32. Incremental: feeding the result of one call as `initial` of the
// next over the following bytes gives the value of one call over both.
[[nodiscard]] uint32_t gen_crc(const void* data, uint32_t length, uint32_t initial);

// The same checksum computed one bit at a time; the reference that the fast form must match.
[[nodiscard]] uint32_t gen_crc_bitwise(const void* data, uint32_t length, uint32_t initial);

// 0 when gen_crc over `length` bytes at `data` (from kCrcInit) equals `expected`, else 1.
[[nodiscard]] int CheckCrc(const void* data, uint32_t length, uint32_t expected);
