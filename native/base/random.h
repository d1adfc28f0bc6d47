// Bytes from the operating system's random source, for identifiers and hash keys.
#pragma once

#include <cstddef>

namespace zm {

// Fills `n` bytes at `out` from getrandom(2), or from /dev/urandom where that call fails;
// EINTR is retried. False when neither source delivered all `n` bytes (the rest of `out`
// is then left as it was): the caller decides what an unpredictable value is worth.
bool fill_random(void* out, size_t n);

}  // namespace zm
