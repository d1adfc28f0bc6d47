// libFuzzer harness for the index-file probe: every input becomes the whole content of an in-memory file, which is
// probed through its /proc/self/fd path. The probe must return a value or an error for every input, never crash or read
// out of bounds, and a success must describe exactly the file it was given.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "index_format/rank_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("zm_fuzz_probe", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t w = ::write(fd, data + done, size - done);
    if (w <= 0) {
      ::close(fd);
      return 0;
    }
    done += static_cast<size_t>(w);
  }
  auto meta = zm::index_format::probe_index_file("/proc/self/fd/" + std::to_string(fd));
  ::close(fd);
  if (meta) {
    // A successful probe accounts for every byte: header + payload == file size.
    if (meta->file_size_bytes != size) std::abort();
    if (meta->format_version != 1) std::abort();
    if (meta->n_vectors > zm::index_format::kMaxVectors) std::abort();
  }
  return 0;
}
