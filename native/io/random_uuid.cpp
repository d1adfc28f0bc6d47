#include "io/random_uuid.h"

#include <array>
#include <cstdint>
#include <cstdlib>

#include "base/random.h"
#include "text/uuid.h"

namespace zm::io {

std::string new_uuid_v4() {
  std::array<uint8_t, 16> bytes{};
  if (!fill_random(bytes.data(), bytes.size())) std::abort();
  return text::uuid_v4_text(bytes);
}

}  // namespace zm::io
