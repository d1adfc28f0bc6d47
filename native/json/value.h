// Generic JSON value, for the open-ended parts of a manifest (attestations, extension
// values). Objects hold unique keys in ascending byte order (a repeated key keeps its
// last value); numbers keep their class: unsigned, signed, or double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zm::json {

struct Value;
using Array = std::vector<Value>;
// Sorted by key (byte order), keys unique.
using Object = std::vector<std::pair<std::string, Value>>;

struct Value {
  std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string, Array, Object> v;

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
  const std::string* as_string() const { return std::get_if<std::string>(&v); }
  const Array* as_array() const { return std::get_if<Array>(&v); }
  const Object* as_object() const { return std::get_if<Object>(&v); }
  // Member lookup in an object value; nullptr when not an object or absent.
  const Value* member(std::string_view key) const;
};

bool operator==(const Value& a, const Value& b);

// A generic array or object held as its canonical compact text: exactly what
// Writer::value writes in the compact style for the parsed tree (no whitespace, members
// in ascending byte order of their keys, the last of a repeated key kept). Reading one
// produces that text in a single pass, with no tree built or freed; tree() parses it
// where the content is examined.
struct ArrayText {
  std::string text = "[]";
  bool empty() const { return text.size() <= 2; }
  Array tree() const;
};

struct ObjectText {
  std::string text = "{}";
  bool empty() const { return text.size() <= 2; }
  Object tree() const;
};

}  // namespace zm::json
