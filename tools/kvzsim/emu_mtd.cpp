// MTD character devices with NOR flash semantics, and their faults.
#include "emu.h"

namespace emu {

namespace {

bool fault_fires(Fault* f, const Device* dev) {
  if (f->nth <= 0) return false;
  if (f->part[0] && strcmp(f->part, dev->name) != 0) return false;
  return ++f->seen == f->nth;
}

off64_t mtd_size(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Clamps a transfer at the partition end like the MTD character driver does.
ssize_t clamp(int fd, size_t n, off64_t off, size_t* out) {
  const off64_t size = mtd_size(fd);
  if (off < 0) return -EINVAL;
  if (off >= size) {
    *out = 0;
    return 0;
  }
  *out = static_cast<off64_t>(n) > size - off ? static_cast<size_t>(size - off) : n;
  return 0;
}

}  // namespace

ssize_t mtd_pread(int fd, const Device* dev, void* buf, size_t n, off64_t off) {
  if (fault_fires(&cfg.fail_read, dev)) {
    errno = EIO;
    return -1;
  }
  size_t len = 0;
  if (clamp(fd, n, off, &len) < 0) {
    errno = EINVAL;
    return -1;
  }
  if (fault_fires(&cfg.short_read, dev)) len /= 2;
  return raw_pread(fd, buf, len, off);
}

ssize_t mtd_pwrite(int fd, const Device* dev, const void* buf, size_t n, off64_t off) {
  if (fault_fires(&cfg.fail_write, dev)) {
    errno = EIO;
    return -1;
  }
  size_t len = 0;
  clamp(fd, n, off, &len);
  if (n > 0 && len == 0) {
    errno = ENOSPC;
    return -1;
  }
  if (fault_fires(&cfg.short_write, dev)) len /= 2;
  const bool stuck = fault_fires(&cfg.stuck_write, dev);
  // NOR flash: programming can only clear bits.
  const auto* src = static_cast<const uint8_t*>(buf);
  uint8_t chunk[4096];
  for (size_t done = 0; done < len && !stuck;) {
    const size_t k = len - done < sizeof chunk ? len - done : sizeof chunk;
    const off64_t at = off + static_cast<off64_t>(done);
    if (raw_pread(fd, chunk, k, at) != static_cast<ssize_t>(k)) return -1;
    for (size_t i = 0; i < k; ++i) chunk[i] &= src[done + i];
    if (raw_pwrite(fd, chunk, k, at) != static_cast<ssize_t>(k)) return -1;
    done += k;
  }
  after_write(fd, dev);
  return static_cast<ssize_t>(len);
}

namespace {

void count_erase(const Device* dev, uint32_t start, uint32_t length, off64_t part_size) {
  char rel[96];
  snprintf(rel, sizeof rel, "stats/erase-%s", dev->name);
  char path[384];
  snprintf(path, sizeof path, "%s/%s", cfg.board, rel);
  const uint32_t blocks = static_cast<uint32_t>(part_size / cfg.erase_size);
  uint32_t* counts = static_cast<uint32_t*>(calloc(blocks ? blocks : 1, sizeof(uint32_t)));
  if (!counts) return;
  FILE* f = fopen(path, "r");
  if (f) {
    for (uint32_t i = 0; i < blocks; ++i)
      if (fscanf(f, "%u", &counts[i]) != 1) break;
    fclose(f);
  }
  for (uint32_t b = start / cfg.erase_size; b < (start + length) / cfg.erase_size && b < blocks;
       ++b)
    ++counts[b];
  f = fopen(path, "w");
  if (f) {
    for (uint32_t i = 0; i < blocks; ++i) fprintf(f, "%u\n", counts[i]);
    fclose(f);
  }
  free(counts);
}

}  // namespace

int mtd_ioctl(int fd, const Device* dev, unsigned long request, void* arg) {
  if (request == MEMGETINFO) {
    if (cfg.fail_memgetinfo) {
      errno = EIO;
      return -1;
    }
    auto* info = static_cast<mtd_info_user*>(arg);
    memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(mtd_size(fd));
    info->erasesize = cfg.erase_size;
    info->writesize = 1;
    return 0;
  }
  if (request == MEMERASE) {
    const auto* e = static_cast<const erase_info_user*>(arg);
    const off64_t size = mtd_size(fd);
    if (cfg.erase_size == 0 || e->start % cfg.erase_size || e->length % cfg.erase_size ||
        static_cast<off64_t>(e->start) + e->length > size) {
      errno = EINVAL;
      return -1;
    }
    if (fault_fires(&cfg.fail_erase, dev)) {
      errno = EIO;
      return -1;
    }
    // An erase interrupted half way leaves the first half of the range erased.
    const bool half = fault_fires(&cfg.half_erase, dev);
    const uint32_t length = half ? e->length / 2 : e->length;
    uint8_t ff[4096];
    memset(ff, 0xFF, sizeof ff);
    for (uint32_t done = 0; done < length;) {
      const uint32_t k = length - done < sizeof ff ? length - done : sizeof ff;
      if (raw_pwrite(fd, ff, k, e->start + done) != static_cast<ssize_t>(k)) return -1;
      done += k;
    }
    if (half) {
      errno = EIO;
      return -1;
    }
    count_erase(dev, e->start, e->length, size);
    return 0;
  }
  errno = ENOTTY;
  return -1;
}

}  // namespace emu
