// The current time of CLOCK_REALTIME as the RFC 3339 UTC text the system writes
// (text/rfc3339.h formats it).
#pragma once

#include <string>

namespace zm::io {

// "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_now_seconds();
// "YYYY-MM-DDTHH:MM:SS.nnnnnnnnnZ".
std::string utc_now_nanos();

}  // namespace zm::io
