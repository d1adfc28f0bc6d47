#include "base/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace zm {

bool fill_random(void* out, size_t n) {
  auto* bytes = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::getrandom(bytes + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got == n) return true;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < n) {
    const ssize_t r = ::read(fd, bytes + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  return got == n;
}

}  // namespace zm
