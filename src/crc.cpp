#include "crc.h"

#include <cstddef>

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;
constexpr size_t kLane = 1024;

// The tables (20 KiB) are built at start-up into .bss rather than stored in every program file
// that checks records. Table k of crc_table holds the effect of a byte followed by k zero bytes,
// so that 16 input bytes fold into the register with 16 independent lookups (slicing-by-16).
// lane_shift multiplies a register by x^(8*kLane), which is linear in the register, so it is four
// byte lookups.
uint32_t crc_table[kSlices][256];
uint32_t lane_shift[4][256];

// Little-endian load assembled from bytes: one load on x86, a byte-reversed load on PowerPC.
inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t byte_step(uint32_t r, uint8_t b) {
  return (r >> 8) ^ crc_table[0][(r ^ b) & 0xFFu];
}

// Folds 16 bytes into the register. Inlined by force: a call per 16 bytes costs a fifth of the
// speed.
[[gnu::always_inline]] inline uint32_t step16(uint32_t r, const uint8_t* p) {
  const uint32_t a = load_le32(p) ^ r;
  const uint32_t b = load_le32(p + 4);
  const uint32_t c = load_le32(p + 8);
  const uint32_t d = load_le32(p + 12);
  const auto& t = crc_table;
  return t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
         t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
         t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
         t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
}

// One register depends on the previous step, so a single stream waits on its own lookups.
// Three streams over neighbouring lanes keep the processor busy; their registers are joined
// afterwards, since the register after A then B equals (register after A) * x^(8|B|) mod P
// XOR (register of B from 0). Products are in the reflected bit order of the register.
uint32_t multiply_mod_p(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 0x80000000u; m != 0; m >>= 1) {  // bit 31 is x^0
    if (a & m) product ^= b;
    b = (b & 1u) ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

uint32_t x_power_mod_p(uint64_t k) {
  uint32_t result = 0x80000000u;  // x^0
  uint32_t square = 0x40000000u;  // x^1
  for (; k != 0; k >>= 1) {
    if (k & 1) result = multiply_mod_p(result, square);
    square = multiply_mod_p(square, square);
  }
  return result;
}

inline uint32_t shift_by_lane(uint32_t r) {
  return lane_shift[0][r & 0xFF] ^ lane_shift[1][(r >> 8) & 0xFF] ^
         lane_shift[2][(r >> 16) & 0xFF] ^ lane_shift[3][r >> 24];
}

// Runs before main and, by its priority, before every ordinary static initializer, so no caller
// of gen_crc in any program can see the tables unbuilt; the process has one thread then.
[[gnu::constructor(101)]] void build_crc_tables() {
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t r = b;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ kPolynomial : r >> 1;
    crc_table[0][b] = r;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (uint32_t b = 0; b < 256; ++b)
      crc_table[k][b] = (crc_table[k - 1][b] >> 8) ^ crc_table[0][crc_table[k - 1][b] & 0xFFu];
  }
  // The product is linear in b: only single bits need a multiplication, every other entry is the
  // XOR of the entry of its lowest bit and that of the rest.
  const uint32_t factor = x_power_mod_p(8 * kLane);
  for (uint32_t k = 0; k < 4; ++k) {
    for (uint32_t b = 1; b < 256; ++b) {
      const uint32_t low = b & (~b + 1);
      lane_shift[k][b] = low == b ? multiply_mod_p(factor, b << (8 * k))
                                  : lane_shift[k][low] ^ lane_shift[k][b ^ low];
    }
  }
}

}  // namespace

uint32_t gen_crc(const void* data, uint32_t length, uint32_t initial) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t r = initial;
  size_t n = length;
  while (n >= 3 * kLane) {
    uint32_t a = r, b = 0, c = 0;
    for (size_t i = 0; i < kLane; i += kSlices) {
      a = step16(a, p + i);
      b = step16(b, p + kLane + i);
      c = step16(c, p + 2 * kLane + i);
    }
    r = shift_by_lane(shift_by_lane(a) ^ b) ^ c;
    p += 3 * kLane;
    n -= 3 * kLane;
  }
  for (; n >= kSlices; n -= kSlices, p += kSlices) r = step16(r, p);
  while (n-- > 0) r = byte_step(r, *p++);
  return r;
}

uint32_t gen_crc_bitwise(const void* data, uint32_t length, uint32_t initial) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t r = initial;
  for (uint32_t i = 0; i < length; ++i) {
    uint32_t b = p[i];
    for (int bit = 0; bit < 8; ++bit) {
      r = ((r ^ b) & 1u) ? (r >> 1) ^ kPolynomial : r >> 1;
      b >>= 1;
    }
  }
  return r;
}

int CheckCrc(const void* data, uint32_t length, uint32_t expected) {
  return gen_crc(data, length, kCrcInit) == expected ? 0 : 1;
}
