// Writes the file tree of a made-up but realistic application archive for the boot benchmark:
// big-endian machine-code-like binaries and libraries, text (logs, configuration, documents),
// home/bin/distro-id and a home/bin/mp.elf.strip script. The content is a pure function of the
// requested size (fixed seed, own generator), so every machine gets the same bytes, and gzip
// squeezes it about 3:1, as it does the real application.
//   bench_payload DIR MIB     writes DIR/home/... with about MIB MiB of file content

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// xorshift64*: fast, and the same sequence on every platform and compiler.
uint64_t rng_state = 0x2545F4914F6CDD1Dull;

uint64_t next() {
  rng_state ^= rng_state >> 12;
  rng_state ^= rng_state << 25;
  rng_state ^= rng_state >> 27;
  return rng_state * 0x2545F4914F6CDD1Dull;
}

uint32_t below(uint32_t n) {
  return static_cast<uint32_t>((next() >> 32) % n);
}

// Small values far more often than large ones, as in real code and text.
uint32_t skewed(uint32_t n) {
  const uint32_t a = below(n), b = below(n);
  return a < b ? a : b;
}

using Bytes = std::vector<uint8_t>;

void put_be32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void put_text(Bytes& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
}

// ---- Text -----------------------------------------------------------------------------------

std::vector<std::string> words;

void make_vocabulary() {
  static const char* const syllables[] = {
      "ka",    "vo",    "ze",   "port", "link",  "vlan",  "mac",  "lan",  "tx",   "rx",
      "fdb",   "stp",   "sw",   "cfg",  "ip",    "route", "if",   "eth",  "qos",  "acl",
      "lag",   "poe",   "snmp", "trap", "dhcp",  "arp",   "igmp", "mld",  "lldp", "buf",
      "queue", "drop",  "err",  "cnt",  "state", "up",    "down", "mgmt", "boot", "flash",
      "table", "entry", "set",  "get",  "add",   "del",   "init", "done"};
  constexpr uint32_t n = sizeof syllables / sizeof syllables[0];
  for (int i = 0; i < 3000; ++i) {
    std::string w = syllables[below(n)];
    for (uint32_t k = below(3); k > 0; --k) w += syllables[below(n)];
    words.push_back(w);
  }
}

const std::string& word() {
  return words[skewed(static_cast<uint32_t>(words.size()))];
}

void log_line(Bytes& out, uint32_t& clock) {
  clock += skewed(5000);
  char head[64];
  snprintf(head, sizeof head, "[%6u.%03u] %s: ", clock / 1000, clock % 1000, word().c_str());
  put_text(out, head);
  for (uint32_t k = 3 + below(9); k > 0; --k) {
    put_text(out, word());
    if (below(6) == 0) {
      snprintf(head, sizeof head, "=%u", skewed(70000));
      put_text(out, head);
    }
    out.push_back(k > 1 ? ' ' : '\n');
  }
}

void config_line(Bytes& out) {
  char line[96];
  snprintf(line, sizeof line, "%s.%s.%s = %u\n", word().c_str(), word().c_str(), word().c_str(),
           skewed(4096));
  put_text(out, line);
}

Bytes text_file(size_t size, bool config) {
  Bytes out;
  out.reserve(size + 256);
  uint32_t clock = 0;
  while (out.size() < size) config ? config_line(out) : log_line(out, clock);
  out.resize(size);
  return out;
}

// ---- Binaries -------------------------------------------------------------------------------

// The primary opcodes a compiler emits most (loads, stores, addi, branches, compares, rlwinm).
constexpr uint32_t kOpcodes[] = {32, 36, 14, 15, 18, 16, 31, 21, 11, 10, 24, 34, 38, 40, 44, 19};

uint32_t fresh_instruction() {
  static const uint8_t regs[] = {1, 3, 4, 5, 6, 9, 10, 11, 0, 31, 30, 29, 28, 27, 8, 7, 2, 26};
  const uint32_t op = kOpcodes[skewed(16)];
  const uint32_t rd = regs[skewed(sizeof regs)], ra = regs[skewed(sizeof regs)];
  const uint32_t low = op == 31 || op == 19
                           ? (skewed(32) << 11) | (skewed(1024) << 1)
                           : (below(3) == 0 ? 0xFFFFu - skewed(256) : skewed(512) * 4);
  return (op << 26) | (rd << 21) | (ra << 16) | (low & 0xFFFF);
}

// Code repeats itself: prologues, epilogues, inlined sequences. Copy runs from recent code.
void text_section(Bytes& out, size_t size) {
  const size_t start = out.size();
  while (out.size() - start < size) {
    const size_t have = (out.size() - start) / 4;
    if (have > 64 && below(100) < 28) {
      const size_t from =
          start + 4 * (have - 1 - skewed(static_cast<uint32_t>(have < 4096 ? have : 4096)));
      const size_t len = 4 * (2 + skewed(14));
      for (size_t i = 0; i < len && from + i < out.size(); ++i) out.push_back(out[from + i]);
    } else {
      put_be32(out, fresh_instruction());
    }
  }
  out.resize(start + size);
}

void rodata_section(Bytes& out, size_t size) {
  const size_t start = out.size();
  while (out.size() - start < size) {
    for (uint32_t k = 1 + below(5); k > 0; --k) {
      put_text(out, word());
      out.push_back(k > 1 ? (below(3) ? ' ' : '_') : 0);
    }
    if (below(4) == 0) put_text(out, std::string("%d: %s\n") + '\0');
  }
  out.resize(start + size);
}

// Pointer tables and small constants, with the zero fill of aligned structures.
void data_section(Bytes& out, size_t size) {
  const size_t start = out.size();
  uint32_t address = 0x10000000u + below(0x100000) * 16;
  while (out.size() - start < size) {
    const uint32_t kind = below(4);
    if (kind < 2) {
      address += 4 * (1 + skewed(64));
      put_be32(out, address);
    } else {
      put_be32(out, kind == 2 ? skewed(256) : 0);
    }
  }
  out.resize(start + size);
}

Bytes binary_file(size_t size) {
  Bytes out;
  out.reserve(size + 64);
  static const uint8_t elf_ident[] = {0x7F, 'E', 'L', 'F', 1, 2, 1, 0,  0, 0, 0, 0,
                                      0,    0,   0,   0,   0, 2, 0, 20, 0, 0, 0, 1};
  out.insert(out.end(), elf_ident, elf_ident + sizeof elf_ident);
  text_section(out, size * 64 / 100);
  rodata_section(out, size * 20 / 100);
  data_section(out, size * 12 / 100);
  out.resize(size, 0);  // .bss-like zero tail
  return out;
}

// ---- Tree -----------------------------------------------------------------------------------

bool make_dirs(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool write_file(const std::string& path, const Bytes& data, mode_t mode) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  if (fclose(f) != 0 || !ok) return false;
  return chmod(path.c_str(), mode) == 0;
}

bool write_named(const std::string& dir, const char* pattern, int n, const Bytes& data,
                 mode_t mode) {
  char name[64];
  snprintf(name, sizeof name, pattern, words[static_cast<size_t>(n) * 7 % words.size()].c_str(), n);
  return write_file(dir + "/" + name, data, mode);
}

bool write_fixed_files(const std::string& home) {
  Bytes id, app;
  put_text(id, "kvzbench 1.0.0.0\n");
  put_text(app, "#!/bin/sh\necho \"kvzbench: application 1.0.0.0 is running\"\n");
  return write_file(home + "/bin/distro-id", id, 0644) &&
         write_file(home + "/bin/mp.elf.strip", app, 0755);
}

// Three quarters binaries (a few large, many small), one quarter text.
bool write_tree(const std::string& home, size_t total) {
  for (const char* d : {"/bin", "/lib", "/share/doc", "/etc"})
    if (!make_dirs(home + d)) return false;
  if (!write_fixed_files(home)) return false;
  size_t done = 0;
  for (int i = 0; done < total; ++i) {
    const size_t size = 4096 + static_cast<size_t>(skewed(1 << 22)) + (i % 16 == 0 ? 8u << 20 : 0);
    const uint32_t kind = static_cast<uint32_t>(i % 4);
    bool ok;
    if (kind == 3)
      ok = write_named(home + (i % 8 == 3 ? "/etc" : "/share/doc"), "%s-%d.txt", i,
                       text_file(size / 2, i % 8 == 3), 0644);
    else
      ok = write_named(home + (kind == 0 ? "/bin" : "/lib"), kind == 0 ? "%s%d" : "lib%s%d.so", i,
                       binary_file(size), 0755);
    if (!ok) return false;
    done += kind == 3 ? size / 2 : size;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || atoi(argv[2]) <= 0) {
    fprintf(stderr, "usage: bench_payload DIR MIB\n");
    return 2;
  }
  make_vocabulary();
  const std::string home = std::string(argv[1]) + "/home";
  if (!write_tree(home, static_cast<size_t>(atoi(argv[2])) << 20)) {
    fprintf(stderr, "bench_payload: cannot write %s: %s\n", home.c_str(), strerror(errno));
    return 1;
  }
  return 0;
}
