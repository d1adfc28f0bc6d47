// Fresh random identifiers: version 4 UUIDs from the system's random source.
#pragma once

#include <string>

namespace zm::io {

// A fresh random version 4 UUID, lowercase hyphenated (base/random.h for the source).
// Aborts the process if the system has no random source at all, since a predictable
// identifier would silently break uniqueness.
std::string new_uuid_v4();

}  // namespace zm::io
