// libFuzzer harness for the JSON layer: decodes the input as a manifest and each of its lines as a row-map line. A
// manifest that decodes must write compact and pretty text that decode again to the same compact text; errors must
// carry a position inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "manifest/schema/codec.h"

namespace {

void check_manifest(std::string_view text) {
  auto m = zm::parse_manifest(text);
  if (!m) {
    const auto& e = m.error();
    if (e.line() == 0 || e.line() > text.size() + 1 || e.column() > text.size()) std::abort();
    return;
  }
  std::string compact = zm::write_manifest_compact(*m);
  std::string pretty = zm::write_manifest_pretty(*m);
  auto again = zm::parse_manifest(compact);
  auto from_pretty = zm::parse_manifest(pretty);
  if (!again || !from_pretty) std::abort();
  if (zm::write_manifest_compact(*again) != compact) std::abort();
  if (zm::write_manifest_compact(*from_pretty) != compact) std::abort();
}

void check_rows(std::string_view text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    std::string_view line = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto row = zm::decode_jsonl_row(line);
    if (!row && row.error().find(" at line 1 column ") == std::string::npos) std::abort();
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check_manifest(text);
  check_rows(text);
  return 0;
}
