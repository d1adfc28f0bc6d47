// The strict reader: every syntax error with its exact text and position, number classes and limits, string decoding,
// nesting limit, generic values.
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "check.h"
#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"

using zm::json::Reader;
using zm::json::Value;

namespace {

std::string compact(const Value& v) {
  zm::json::Writer w;
  w.value(v);
  return w.take();
}

std::string display_error(std::string_view text, const Reader& r) {
  auto pos = zm::json::position_of(text, r.error_index());
  return r.error_message() + " at line " + std::to_string(pos.line) + " column " + std::to_string(pos.column);
}

// Reads one whole document as a generic value; "" on success, else the display text. Every document is also read
// straight to canonical text, which must fail the same way or equal the compact writing of the tree.
std::string read_error(std::string_view text, Value* out = nullptr) {
  Reader r(text), c(text);
  Value v;
  const bool ok = r.read_value(&v) && r.finish();
  const std::string got = ok ? "" : display_error(text, r);
  std::string canonical;
  const bool canonical_ok = c.read_canonical(canonical) && c.finish();
  CHECK_CTX(canonical_ok == ok && (ok ? canonical == compact(v) : display_error(text, c) == got),
            "canonical reading of [" << text << "]: " << (canonical_ok ? canonical : display_error(text, c)));
  if (ok && out) *out = std::move(v);
  return got;
}

Value read_ok(std::string_view text) {
  Value v;
  CHECK_EQ(read_error(text, &v), std::string());
  return v;
}

// Each text fails with exactly its message at line 1, `column` (0 or more); otherwise the message carries its own
// position.
struct ErrorCase {
  std::string text, message;
  int column = -1;
};
void run(const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases)
    CHECK_EQ(read_error(c.text), c.message + (c.column < 0 ? "" : " at line 1 column " + std::to_string(c.column)));
}

}  // namespace

TEST(json_reader_syntax_errors_and_positions) {
  run({
      {"", "EOF while parsing a value", 0}, {"{", "EOF while parsing an object", 1},
      {"[", "EOF while parsing a list", 1}, {"[1,", "EOF while parsing a value", 3},
      {"{\"a\"", "EOF while parsing an object", 4}, {"{\"a\":1", "EOF while parsing an object", 6},
      {"\"abc", "EOF while parsing a string", 4}, {"x", "expected value", 1}, {"[1,x]", "expected value", 4},
      {"NaN", "expected value", 1}, {"tru", "EOF while parsing a value", 3}, {"trux", "expected ident", 4},
      {"True", "expected value", 1}, {"{1:2}", "key must be a string", 2}, {"{\"a\" 1}", "expected `:`", 6},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}`", 8}, {"[1 2]", "expected `,` or `]`", 4},
      {"[1,]", "trailing comma", 4}, {"{\"a\":1,}", "trailing comma", 8}, {"{} x", "trailing characters", 4},
      {"{}\n\n  x", "trailing characters at line 3 column 3"},
      // White space is the four JSON bytes only: no byte-order mark, vertical tab or no-break space.
      {"\xEF\xBB\xBF{}", "expected value", 1}, {"\v1", "expected value", 1}, {"\xC2\xA0" "1", "expected value", 1},
      // Peeked at the first byte of line 2: column 1.
      {"{\"a\":1\n\"b\":2}", "expected `,` or `}` at line 2 column 1"},
      // The misspelled literal's wrong byte is a line feed: it was taken, so line 3 column 0.
      {"{\n  \"a\": tru\n}", "expected ident at line 3 column 0"},
      // End of input right after a line feed.
      {"[\n", "EOF while parsing a list at line 2 column 0"},
      {"[\n  1,\n  ", "EOF while parsing a value at line 3 column 2"},
      // Carriage returns are bytes of the line, not line breaks.
      {"[1,\r\r x]", "expected value", 7},
      // Columns count bytes, not characters: "é" is two bytes.
      {"[\"\xC3\xA9\" x]", "expected `,` or `]`", 7},
  });
  read_ok(" \t\r\n{ \t\r\n\"a\" \t\r\n: \t\r\n[ 1 , 2 ] \t\r\n} \t\r\n");
  run({
      {"-", "EOF while parsing a value", 1}, {"-x", "invalid number", 2}, {"01", "invalid number", 2},
      {"1.", "EOF while parsing a value", 2}, {"1.x", "invalid number", 3}, {"1.e5", "invalid number", 3},
      {"1e", "EOF while parsing a value", 2}, {"1ex", "invalid number", 3}, {"1e+-2", "invalid number", 4},
      {"1x", "trailing characters", 2}, {"1e400", "number out of range", 5}, {"[1.5e309, 1]", "number out of range", 8},
      {"1" + std::string(400, '0'), "number out of range", 401},
  });
}

TEST(json_reader_float_layouts) {
  // Floats whose source text is, or nearly is, the written text: every one is checked against the tree's writing by
  // read_error.
  for (const char* text : {"837.5", "-0.25", "1.0", "10.0", "1.50", "1.00", "0.5", "0.0", "-0.0", "0.00001",
                           "0.000012", "0.000001", "0.0000010", "123456789012345.0", "12345678901234.5",
                           "1234567890123456.0", "0.123456789012345", "0.1234567890123456", "0.30000000000000004",
                           "9007199254740993.0", "100000000000000.0", "1000000000000000.0", "2.675", "1e1",
                           "-123.456", "0.0001000"}) {
    read_ok(text);
    read_ok(std::string("[") + text + "]");
  }
}

TEST(json_reader_number_classes) {
  // {text, as written back (the class shows in the text), variant index: 2 u64, 3 i64, 4 double}
  const std::tuple<const char*, const char*, size_t> cases[] = {
      {"0", "0", 2}, {"18446744073709551615", "18446744073709551615", 2},
      {"18446744073709551616", "1.8446744073709552e19", 4}, {"-1", "-1", 3},
      {"-9223372036854775808", "-9223372036854775808", 3}, {"-9223372036854775809", "-9.223372036854776e18", 4},
      {"-0", "-0.0", 4}, {"1.0", "1.0", 4}, {"1E2", "100.0", 4}, {"1e-400", "0.0", 4}, {"-1e-400", "-0.0", 4},
      {"4.9e-324", "5e-324", 4}, {"1e0000000000000000000000001", "10.0", 4}, {"0e99999999999999999999", "0.0", 4},
      {"1.7976931348623157e308", "1.7976931348623157e308", 4},
      // Correctly rounded: the halfway case between two doubles rounds to even.
      {"9007199254740993.0", "9007199254740992.0", 4},
  };
  for (const auto& [text, written, index] : cases) {
    Value v = read_ok(text);
    CHECK_EQ(v.v.index(), index);
    CHECK_EQ(compact(v), std::string(written));
  }
}

TEST(json_reader_string_errors) {
  run({
      {"\"\\x\"", "invalid escape", 3}, {"\"\\", "EOF while parsing a string", 2},
      // The four hex digits are taken as one unit.
      {"\"\\u12G4\"", "invalid escape", 7}, {"\"\\u12\"}", "invalid escape", 7},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string", 3},
      {std::string("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      // Invalid UTF-8 is found when the string is complete: past the closing quote.
      {"\"a\xFF\"", "invalid unicode code point", 4}, {"[\"a\xFF" "bc\", 1]", "invalid unicode code point", 7},
      {"\"\xED\xA0\x80\"", "invalid unicode code point", 5},      // encoded surrogate
      {"\"\xF4\x90\x80\x80\"", "invalid unicode code point", 6},  // above U+10FFFF
      {"\"\xE2\x82\\n\"", "invalid unicode code point", 6},       // truncated before an escape
      // An earlier invalid byte does not hide a later syntax error in the same string.
      {"\"\xFF\\x\"", "invalid escape", 4}, {"{\"\xFF\":1}", "invalid unicode code point", 4},
      // Surrogates.
      {"\"\\uD800\"", "unexpected end of hex escape", 8}, {"\"\\uD800\\n\"", "unexpected end of hex escape", 9},
      {"\"\\uD800", "EOF while parsing a string", 7}, {"\"\\uDC00\"", "lone leading surrogate in hex escape", 7},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape", 13},
  });
}

TEST(json_reader_string_decoding) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"\"", ""}, {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
      {"\"\\u0041\\u00e9\\u00E9\"", "A\xC3\xA9\xC3\xA9"}, {"\"\\u0000\"", std::string("\0", 1)},
      {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"}, {"\"\\uDBFF\\uDFFF\"", "\xF4\x8F\xBF\xBF"},
      {"\"\x7F\xF0\x9F\x98\x80\"", "\x7F\xF0\x9F\x98\x80"},
  };
  for (const auto& [text, value] : cases) {
    Value v = read_ok(text);
    CHECK(v.as_string() && *v.as_string() == value);
  }
}

TEST(json_reader_nesting_limit) {
  // 128 levels read; the 129th opening bracket fails, peeked at that bracket.
  read_ok(std::string(128, '[') + std::string(128, ']'));
  run({
      {std::string(129, '['), "recursion limit exceeded", 129},
      {std::string(129, '[') + std::string(129, ']'), "recursion limit exceeded", 129},
  });
  std::string objs;
  for (int i = 0; i < 127; ++i) objs += "{\"a\":";
  read_ok(objs + "{}" + std::string(127, '}'));
  std::string deep = objs + "{\"a\":[1]}";
  CHECK_EQ(read_error(deep + std::string(127, '}')),
           "recursion limit exceeded at line 1 column " + std::to_string(objs.size() + 6));
  // Closing brackets restore the depth: many shallow siblings are fine.
  std::string wide = "[";
  for (int i = 0; i < 1000; ++i) wide += std::string(100, '[') + std::string(100, ']') + ",";
  wide += "1]";
  read_ok(wide);
}

TEST(json_value_objects_keep_last_and_sort) {
  Value v = read_ok("{\"b\":1,\"a\":{\"z\":[],\"y\":{}},\"b\":-2,\"\\u0061\":3,\"\xC3\xA9\":4,\"B\":5}");
  // Byte order: "B" < "a" < "b" < "é"; the last "a" (written with an escape) wins.
  CHECK_EQ(compact(v), std::string("{\"B\":5,\"a\":3,\"b\":-2,\"\xC3\xA9\":4}"));
  CHECK(v.member("b") != nullptr && v.member("c") == nullptr && read_ok("[1]").member("a") == nullptr);
  CHECK(v == read_ok("{\"a\":3,\"b\":-2,\"B\":5,\"\xC3\xA9\":4}"));
  CHECK(!(read_ok("1") == read_ok("1.0")));
  CHECK(read_ok("[1,\"x\",null,true]") == read_ok("[1, \"x\", null, true]"));
  // More members than the small-object path handles, in reverse order, with repeats.
  std::string text = "{", expected = "{";
  for (int i = 39; i >= 0; --i) text += "\"k" + std::to_string(100 + i) + "\":" + std::to_string(i) + ",";
  for (int i = 0; i < 40; ++i)
    expected += "\"k" + std::to_string(100 + i) + "\":" + std::to_string(i == 7 ? 1000 : i) + ",";
  text += "\"k107\":1000}";
  expected.back() = '}';
  CHECK_EQ(compact(read_ok(text)), expected);
}

TEST(json_reader_string_scan_at_every_offset) {
  // The scanner takes plain bytes in words of eight: a stop byte or a non-ASCII byte at any offset must be seen, with
  // the same position as one found byte by byte.
  for (size_t k = 0; k < 24; ++k) {
    const std::string pad(k, 'a'), control = "control character (\\u0000-\\u001F) found while parsing a string";
    auto at = [](size_t column) { return " at line 1 column " + std::to_string(column); };
    CHECK_EQ(read_error("\"" + pad + "\x01" + pad + "\""), control + at(k + 2));
    CHECK_EQ(read_error("\"" + pad + "\x1F" + "bbbbbbbbbbbbbbbb\""), control + at(k + 2));
    CHECK_EQ(read_error("\"" + pad + "\xFF" + pad + "\""), "invalid unicode code point" + at(2 * k + 3));
    CHECK_EQ(read_error("\"" + pad + "\\q" + pad + "\""), "invalid escape" + at(k + 3));
    CHECK_EQ(read_error("\"" + pad), "EOF while parsing a string" + at(k + 1));
    Value v = read_ok("\"" + pad + "\\\"" + pad + "\xC3\xA9\x7F\"");
    CHECK(v.as_string() && *v.as_string() == pad + "\"" + pad + "\xC3\xA9\x7F");
    v = read_ok("[\"" + pad + "\"," + std::to_string(k) + "]");
    CHECK_EQ(compact(v), "[\"" + pad + "\"," + std::to_string(k) + "]");
  }
}

