// libFuzzer harness for the strict JSON reader on generic values. Every input is either accepted, and then the value
// written compactly reads back to an equal value, or rejected with an error index inside the input; nothing in between.
// Reading straight to canonical text agrees: the same error at the same place, or the compact writing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  zm::json::Reader reader(text);
  zm::json::Value value;
  const bool ok = reader.read_value(&value) && reader.finish();
  if (!ok) {
    if (!reader.has_error() || reader.error_index() > size || reader.error_message().empty()) std::abort();
    zm::json::Position pos = zm::json::position_of(text, reader.error_index());
    if (pos.line == 0 || pos.column > size) std::abort();
    // Checking only, and reading straight to canonical text, reach the same verdict at the same place.
    zm::json::Reader check(text), canon(text);
    std::string canonical;
    if ((check.read_value(nullptr) && check.finish()) || (canon.read_canonical(canonical) && canon.finish()))
      std::abort();
    for (const auto* other : {&check, &canon}) {
      if (other->error_index() != reader.error_index() || other->error_message() != reader.error_message())
        std::abort();
    }
    return 0;
  }
  zm::json::Writer writer;
  writer.value(value);
  const std::string& compact = writer.buffer();
  zm::json::Reader canon(text);
  std::string canonical;
  if (!canon.read_canonical(canonical) || !canon.finish() || canonical != compact) std::abort();
  zm::json::Reader again(compact);
  zm::json::Value back;
  if (!again.read_value(&back) || !again.finish()) std::abort();
  if (!(back == value)) std::abort();
  return 0;
}
