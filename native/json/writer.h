// Append-only JSON text writer. One writer serves every output: the style decides the
// whitespace (compact: none; pretty: two-space indent, one member or element per line,
// ": " after keys, empty containers as [] and {}, no final newline), and the absent
// policy decides whether the record codec leaves absent fields out (manifests) or
// writes them as null (reports). The writer does not check that calls are well nested;
// callers emit keys only inside objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace zm::json {

enum class Style { Compact, Pretty };
enum class Absent { Omit, WriteNull };

class Writer {
 public:
  explicit Writer(Style style = Style::Compact, Absent absent = Absent::Omit, size_t reserve = 128);

  Style style() const { return style_; }
  bool omit_absent() const { return absent_ == Absent::Omit; }

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // An object key; the next call writes its value.
  void key(std::string_view k);

  void string(std::string_view s);
  void u64(uint64_t v);
  void i64(int64_t v);
  // Shortest round-trip text that reads back as a float ("1.0", "1e16"); null when not finite.
  void f64(double v);
  void null();
  void boolean(bool v);
  // A complete JSON value given as text, written as is.
  void raw(std::string_view json);
  // A generic value; object members in ascending byte order of their keys.
  void value(const Value& v);
  // A generic object; members in ascending byte order of their keys.
  void object(const Object& obj);

  const std::string& buffer() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  // Separator and indentation owed before a value in the current container.
  void before_value();
  void newline_indent();

  std::string out_;
  Style style_;
  Absent absent_;
  // One entry per open container: bit 0 = is array, bit 1 = has members.
  std::vector<uint8_t> stack_;
  bool after_key_ = false;
};

// Appends `s` as a JSON string literal: quote and backslash escaped, \b \f \n \r \t for
// those bytes, other bytes below 0x20 as \u00xx (lowercase hex), everything else raw.
void append_json_string(std::string& out, std::string_view s);

}  // namespace zm::json
