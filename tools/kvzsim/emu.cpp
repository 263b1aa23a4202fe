// The interposed entry points for files, devices, the shell and exec: each call goes to the part
// that emulates what it reaches (see emu.h).
#include "emu.h"

namespace emu {
namespace {

// ---- Exec helpers ---------------------------------------------------------------------------

// Logs an exec of the launcher; false (errno ENOENT) when the fault fail_exec makes the program
// missing.
bool log_exec(const char* path, char* const argv[]) {
  if (!cfg.main) return true;
  size_t n = 6;
  for (int i = 0; argv[i]; ++i) n += strlen(argv[i]) + 1;
  if (char* line = static_cast<char*>(malloc(n))) {
    strcpy(line, "exec");
    for (int i = 0; argv[i]; ++i) {
      strcat(line, " ");
      strcat(line, argv[i]);
    }
    log_command(line);
    free(line);
  }
  if (cfg.fail_exec[0] && !strncmp(path, cfg.fail_exec, strlen(cfg.fail_exec))) {
    errno = ENOENT;
    return false;
  }
  write_stats();
  return true;
}

// Collects the arguments of an execl-style call into an array (at most 63 of them).
void collect_args(const char* first, va_list ap, char** argv, char*** envp) {
  int i = 0;
  argv[i++] = const_cast<char*>(first);
  while (i < 63) {
    char* a = va_arg(ap, char*);
    argv[i++] = a;
    if (!a) break;
  }
  argv[63] = nullptr;
  if (envp) *envp = va_arg(ap, char**);
}

}  // namespace
}  // namespace emu

using namespace emu;

// ---- Interposed entry points ----------------------------------------------------------------

extern "C" {

#define OPEN_MODE(flags)                         \
  mode_t mode = 0;                               \
  if ((flags) & (O_CREAT | __O_TMPFILE)) {       \
    va_list ap;                                  \
    va_start(ap, flags);                         \
    mode = static_cast<mode_t>(va_arg(ap, int)); \
    va_end(ap);                                  \
  }

static int after_open(int fd, const char* path = nullptr) {
  if (fd >= 0 && fd < kMaxFds) {
    fd_state[fd] = FdState{};
    fd_state[fd].read_fault = cfg.main && cfg.fail_file_read.is_on(path);
    if (path && path[0] == '/') fd_state[fd].user = strncmp(path, "/user/", 6) == 0 ? 1 : 0;
  }
  return fd;
}

// The fault fail_read: true (errno EIO) when this read of a file of the launcher's is to fail.
static bool read_refused(int fd) {
  if (fd < 0 || fd >= kMaxFds || !fd_state[fd].read_fault || !cfg.fail_file_read.fires())
    return false;
  errno = EIO;
  return true;
}

// The fault fail_open: true (errno EACCES) when this open of the launcher's is to fail.
static bool open_refused(const char* path) {
  if (!cfg.main || !cfg.fail_open.is_on(path) || !cfg.fail_open.fires()) return false;
  errno = EACCES;
  return true;
}

int open(const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<open_fn>("open");
  if (open_refused(path)) return -1;
  return after_open(fn(path, flags, mode), path);
}
int open64(const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<open_fn>("open64");
  if (open_refused(path)) return -1;
  return after_open(fn(path, flags, mode), path);
}
int openat(int dirfd, const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<openat_fn>("openat");
  return after_open(fn(dirfd, path, flags, mode));
}
int openat64(int dirfd, const char* path, int flags, ...) {
  OPEN_MODE(flags);
  static auto fn = real<openat_fn>("openat64");
  return after_open(fn(dirfd, path, flags, mode));
}
int __open_2(const char* path, int flags) {
  return open(path, flags);
}
int __open64_2(const char* path, int flags) {
  return open64(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags) {
  return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags) {
  return openat64(dirfd, path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (const Device* dev = device_of(fd)) {
    return dev->kind == Kind::kMtd ? mtd_ioctl(fd, dev, request, arg)
                                   : i2c_ioctl(fd, dev, request, arg);
  }
  int result = 0;
  if (fd >= 0 && fd < kMaxFds && fd_state[fd].inet_socket && net_ioctl(request, arg, &result))
    return result;
  static auto fn = real<ioctl_fn>("ioctl");
  return fn(fd, request, arg);
}

int socket(int domain, int type, int protocol) {
  init();
  static auto fn = real<int (*)(int, int, int)>("socket");
  const int fd = after_open(fn(domain, type, protocol));
  if (fd >= 0 && fd < kMaxFds) fd_state[fd].inet_socket = cfg.main && domain == AF_INET;
  return fd;
}

ssize_t pread64(int fd, void* buf, size_t n, off64_t off) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kMtd) return mtd_pread(fd, dev, buf, n, off);
  if (read_refused(fd)) return -1;
  return raw_pread(fd, buf, n, off);
}
ssize_t pread(int fd, void* buf, size_t n, off_t off) {
  return pread64(fd, buf, n, off);
}
ssize_t __pread_chk(int fd, void* buf, size_t n, off_t off, size_t) {
  return pread64(fd, buf, n, off);
}
ssize_t __pread64_chk(int fd, void* buf, size_t n, off64_t off, size_t) {
  return pread64(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kMtd) return mtd_pwrite(fd, dev, buf, n, off);
  const ssize_t r = raw_pwrite(fd, buf, n, off);
  if (r > 0) after_write(fd, nullptr);
  return r;
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  return pwrite64(fd, buf, n, off);
}

ssize_t read(int fd, void* buf, size_t n) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kI2c) return i2c_read(fd, dev, static_cast<uint8_t*>(buf), n);
  if (dev && dev->kind == Kind::kMtd) {
    const off64_t pos = lseek64(fd, 0, SEEK_CUR);
    const ssize_t r = mtd_pread(fd, dev, buf, n, pos);
    if (r > 0) lseek64(fd, pos + r, SEEK_SET);
    return r;
  }
  if (read_refused(fd)) return -1;
  static auto fn = real<read_fn>("read");
  return fn(fd, buf, n);
}
ssize_t __read_chk(int fd, void* buf, size_t n, size_t) {
  return read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  const Device* dev = device_of(fd);
  if (dev && dev->kind == Kind::kI2c)
    return i2c_write(fd, dev, static_cast<const uint8_t*>(buf), n);
  if (dev && dev->kind == Kind::kMtd) {
    const off64_t pos = lseek64(fd, 0, SEEK_CUR);
    const ssize_t r = mtd_pwrite(fd, dev, buf, n, pos);
    if (r > 0) lseek64(fd, pos + r, SEEK_SET);
    return r;
  }
  const ssize_t r = raw_write(fd, buf, n);
  if (r > 0) after_write(fd, nullptr);
  return r;
}

// A closed descriptor's number goes to the next file, pipe or socket: what was known of it goes.
int close(int fd) {
  if (fd >= 0 && fd < kMaxFds) fd_state[fd] = FdState{};
  static auto fn = real<int (*)(int)>("close");
  return fn(fd);
}

// cp copies with copy_file_range, which would bypass the write counting of power cuts; refusing
// it makes cp fall back to read and write.
ssize_t copy_file_range(int, off64_t*, int, off64_t*, size_t, unsigned int) {
  errno = EXDEV;
  return -1;
}

int system(const char* command) {
  init();
  if (cfg.main && command) {
    log_command(command);
    if (cfg.fail_system[0] && !strncmp(command, cfg.fail_system, strlen(cfg.fail_system))) {
      errno = EAGAIN;
      return -1;
    }
  }
  static auto fn = real<int (*)(const char*)>("system");
  return fn(command);
}

int execve(const char* path, char* const argv[], char* const envp[]) {
  init();
  if (!log_exec(path, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*, char* const*)>("execve");
  return fn(path, argv, envp);
}
int execv(const char* path, char* const argv[]) {
  init();
  if (!log_exec(path, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*)>("execv");
  return fn(path, argv);
}
int execvp(const char* file, char* const argv[]) {
  init();
  if (!log_exec(file, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*)>("execvp");
  return fn(file, argv);
}
int execvpe(const char* file, char* const argv[], char* const envp[]) {
  init();
  if (!log_exec(file, argv)) return -1;
  static auto fn = real<int (*)(const char*, char* const*, char* const*)>("execvpe");
  return fn(file, argv, envp);
}
int execl(const char* path, const char* arg, ...) {
  char* argv[64];
  va_list ap;
  va_start(ap, arg);
  collect_args(arg, ap, argv, nullptr);
  va_end(ap);
  return execv(path, argv);
}
int execlp(const char* file, const char* arg, ...) {
  char* argv[64];
  va_list ap;
  va_start(ap, arg);
  collect_args(arg, ap, argv, nullptr);
  va_end(ap);
  return execvp(file, argv);
}
int execle(const char* path, const char* arg, ...) {
  char* argv[64];
  char** envp = nullptr;
  va_list ap;
  va_start(ap, arg);
  collect_args(arg, ap, argv, &envp);
  va_end(ap);
  return execve(path, argv, envp);
}

}  // extern "C"
