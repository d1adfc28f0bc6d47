#include "io/clock.h"

#include <time.h>

#include <cstdint>

#include "text/rfc3339.h"

namespace zm::io {

namespace {

struct timespec realtime_now() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

}  // namespace

std::string utc_now_seconds() {
  return text::format_utc_seconds(realtime_now().tv_sec);
}

std::string utc_now_nanos() {
  struct timespec ts = realtime_now();
  return text::format_utc_nanos(ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec));
}

}  // namespace zm::io
