// Writer primitives, string escaping and the float text shared by the writer and by error messages.
#include <cstring>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "check.h"
#include "json/number_text.h"
#include "json/reader.h"
#include "json/writer.h"

using zm::json::Style;
using zm::json::Writer;

TEST(json_float_text_layout) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {100.0, "100.0"}, {0.001, "0.001"}, {0.000123, "0.000123"},
      {1e-6, "1e-6"}, {1e-7, "1e-7"}, {1e15, "1000000000000000.0"}, {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"}, {18446744073709551616.0, "1.8446744073709552e19"},
      {123456789012345680.0, "1.2345678901234568e17"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"}, {-1e100, "-1e100"}};
  for (const auto& [v, text] : cases) CHECK_EQ(zm::json::float_text(v), std::string(text));
}

// Every byte value in every lane of the word-at-a-time scan, among fillers on both sides of the escape thresholds:
// exactly the bytes that need it are escaped, in place.
TEST(json_string_escaping_every_byte_at_every_offset) {
  std::string empty, escaped[256];
  zm::json::append_json_string(empty, "");
  CHECK_EQ(empty, std::string("\"\""));
  // The expected form of each byte: a short escape, \u00XX below 0x20, else the byte itself.
  for (int b = 0; b < 256; ++b) escaped[b] = b < 0x20 ? fmt::format("\\u{:04x}", b) : std::string(1, char(b));
  const std::pair<char, const char*> shorts[] = {{'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\f', "\\f"},
                                                 {'\n', "\\n"},  {'\r', "\\r"},   {'\t', "\\t"}};
  for (const auto& [b, e] : shorts) escaped[static_cast<unsigned char>(b)] = e;
  for (char filler : {'a', '\x7f', '\xff'}) {
    for (int b = 0; b < 256; ++b) {
      for (size_t at = 0; at < 19; ++at) {
        std::string in(19, filler), out;
        in[at] = static_cast<char>(b);
        zm::json::append_json_string(out, in);
        CHECK_EQ(out, "\"" + std::string(at, filler) + escaped[b] + std::string(18 - at, filler) + "\"");
      }
    }
  }
}

TEST(json_writer_compact_and_pretty) {
  zm::json::Value tree;
  zm::json::Reader reader(R"({"a":[],"b":{},"c":[18446744073709551615,{"d":null,"e":false},-5,1.0],"k\"\n":"v"})");
  CHECK(reader.read_value(&tree) && reader.finish());
  auto build = [&](Writer& w) {
    w.begin_array();
    w.value(tree);
    w.f64(std::numeric_limits<double>::quiet_NaN());
    w.f64(-std::numeric_limits<double>::infinity());
    w.raw("{\"r\":1}");
    w.end_array();
  };
  Writer compact(Style::Compact), pretty(Style::Pretty), top(Style::Pretty);
  build(compact);
  CHECK_EQ(compact.buffer(), std::string(R"([{"a":[],"b":{},"c":[18446744073709551615,{"d":null,"e":false},-5,1.0],)"
                                         R"("k\"\n":"v"},null,null,{"r":1}])"));
  build(pretty);
  CHECK_EQ(pretty.buffer(), std::string(R"([
  {
    "a": [],
    "b": {},
    "c": [
      18446744073709551615,
      {
        "d": null,
        "e": false
      },
      -5,
      1.0
    ],
    "k\"\n": "v"
  },
  null,
  null,
  {"r":1}
])"));
  top.begin_array();  // an empty container at the top stays on one line
  top.end_array();
  CHECK_EQ(top.take(), std::string("[]"));
  // Objects assembled by hand in any order are still written in byte order of keys.
  zm::json::Object obj;
  obj.emplace_back("b", zm::json::Value{uint64_t{1}});
  obj.emplace_back("B", zm::json::Value{std::string("x")});
  obj.emplace_back("a", zm::json::Value{zm::json::Array{zm::json::Value{nullptr}, zm::json::Value{2.5}}});
  Writer w;
  w.object(obj);
  CHECK_EQ(w.take(), std::string("{\"B\":\"x\",\"a\":[null,2.5],\"b\":1}"));
}

