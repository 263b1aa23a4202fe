// Board time: the launcher's sleeps, waits and clocks, scaled.
#include "emu.h"

namespace emu {

// ---- Time -----------------------------------------------------------------------------------

double scale() {
  return cfg.main ? cfg.time_scale : 1.0;
}

struct timespec scaled(const struct timespec* ts) {
  const double s =
      (static_cast<double>(ts->tv_sec) + static_cast<double>(ts->tv_nsec) / 1e9) / scale();
  struct timespec out;
  out.tv_sec = static_cast<time_t>(s);
  out.tv_nsec = static_cast<long>((s - static_cast<double>(out.tv_sec)) * 1e9);
  return out;
}

int scaled_ms(int timeout_ms) {
  if (timeout_ms <= 0) return timeout_ms;
  const int ms = static_cast<int>(timeout_ms / scale());
  return ms > 0 ? ms : 1;
}

void note_sleep(double seconds) {
  if (cfg.main) slept_seconds += seconds;
}

// Board clocks run `scale` times faster than real ones, from the moment the launcher started.
// CLOCK_MONOTONIC_RAW stays real, so that tests can measure what a wait really took.
void scale_clock(clockid_t clock, struct timespec* ts) {
  if (scale() == 1.0 || clock == CLOCK_MONOTONIC_RAW) return;
  static double base[16];
  static bool have[16];
  const int slot = clock & 15;
  const double now = static_cast<double>(ts->tv_sec) + static_cast<double>(ts->tv_nsec) / 1e9;
  if (!have[slot]) {
    have[slot] = true;
    base[slot] = now;
  }
  const double board = base[slot] + (now - base[slot]) * scale();
  ts->tv_sec = static_cast<time_t>(board);
  ts->tv_nsec = static_cast<long>((board - static_cast<double>(ts->tv_sec)) * 1e9);
}

// The board's monotonic clock, in seconds: what the launcher's own clock reads.
double board_seconds() {
  static auto fn = real<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  struct timespec ts;
  fn(CLOCK_MONOTONIC, &ts);
  scale_clock(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}


}  // namespace emu

extern "C" {

using namespace emu;

unsigned int sleep(unsigned int seconds) {
  init();
  note_sleep(seconds);
  const struct timespec want = {static_cast<time_t>(seconds), 0};
  const struct timespec ts = scaled(&want);
  static auto fn = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  struct timespec rem = {0, 0};
  if (fn(&ts, &rem) == 0) return 0;
  return static_cast<unsigned>(static_cast<double>(rem.tv_sec) * scale());
}

int usleep(useconds_t usec) {
  init();
  note_sleep(usec / 1e6);
  const struct timespec want = {static_cast<time_t>(usec / 1000000),
                                static_cast<long>(usec % 1000000) * 1000};
  const struct timespec ts = scaled(&want);
  static auto fn = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  return fn(&ts, nullptr);
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
  init();
  if (!req) return EFAULT;
  note_sleep(static_cast<double>(req->tv_sec) + static_cast<double>(req->tv_nsec) / 1e9);
  const struct timespec ts = scaled(req);
  static auto fn = real<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
  return fn(&ts, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem) {
  init();
  static auto fn =
      real<int (*)(clockid_t, int, const struct timespec*, struct timespec*)>("clock_nanosleep");
  if (flags & TIMER_ABSTIME || !req) return fn(clock, flags, req, rem);
  note_sleep(static_cast<double>(req->tv_sec) + static_cast<double>(req->tv_nsec) / 1e9);
  const struct timespec ts = scaled(req);
  return fn(clock, flags, &ts, rem);
}

int poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
  init();
  if (timeout_ms > 0) note_sleep(timeout_ms / 1e3);
  static auto fn = real<int (*)(struct pollfd*, nfds_t, int)>("poll");
  return fn(fds, n, scaled_ms(timeout_ms));
}
int __poll_chk(struct pollfd* fds, nfds_t n, int timeout_ms, size_t) {
  return poll(fds, n, timeout_ms);
}

int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
  init();
  static auto fn = real<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select");
  if (!tv) return fn(n, r, w, e, tv);
  const struct timespec want = {tv->tv_sec, tv->tv_usec * 1000};
  note_sleep(static_cast<double>(want.tv_sec) + static_cast<double>(want.tv_nsec) / 1e9);
  const struct timespec ts = scaled(&want);
  struct timeval stv = {ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
  return fn(n, r, w, e, &stv);
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
  init();
  static auto fn = real<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  const int r = fn(clock, ts);
  if (r == 0 && cfg.main) scale_clock(clock, ts);
  return r;
}

int gettimeofday(struct timeval* tv, void* tz) {
  init();
  static auto fn = real<int (*)(struct timeval*, void*)>("gettimeofday");
  if (!cfg.main) return fn(tv, tz);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  return 0;
}

time_t time(time_t* out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out) *out = ts.tv_sec;
  return ts.tv_sec;
}

}  // extern "C"
