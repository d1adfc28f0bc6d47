#include "json/codec.h"

namespace zm::json {

namespace detail {

int decode_identifier(Reader& r, const std::string_view* names, size_t count) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value"), -1;
  if (c != '"') return r.invalid_type(Expected{"variant identifier"}), -1;
  std::string_view s;
  if (!r.read_string(s)) return -1;
  for (size_t i = 0; i < count; ++i) {
    if (names[i] == s) return static_cast<int>(i);
  }
  return r.unknown_variant(s, names, count), -1;
}

}  // namespace detail

bool Codec<std::string>::decode(Reader& r, std::string& out) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value");
  if (c != '"') return r.invalid_type(expected);
  std::string_view s;
  if (!r.read_string(s)) return false;
  out.assign(s);
  return true;
}

bool Codec<bool>::decode(Reader& r, bool& out) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value");
  if (c == 't') {
    r.bump();
    out = true;
    return r.read_ident("rue");
  }
  if (c == 'f') {
    r.bump();
    out = false;
    return r.read_ident("alse");
  }
  return r.invalid_type(expected);
}

namespace {

// Reads a number for an integer field; `max` is the field's largest value.
bool decode_unsigned(Reader& r, uint64_t& out, uint64_t max, std::string_view type) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value");
  if (c != '-' && (c < '0' || c > '9')) return r.invalid_type(Expected{type});
  Number n;
  if (!r.read_number(n)) return false;
  if (n.kind == Number::Kind::Unsigned && n.u <= max) {
    out = n.u;
    return true;
  }
  if (n.kind == Number::Kind::Float) {
    r.fail_unpositioned(fmt::format("invalid type: {}, expected {}", describe_number(n), type));
  } else {
    r.fail_unpositioned(fmt::format("invalid value: {}, expected {}", describe_number(n), type));
  }
  r.fix_position();
  return false;
}

}  // namespace

bool Codec<uint64_t>::decode(Reader& r, uint64_t& out) {
  return decode_unsigned(r, out, UINT64_MAX, expected.prefix);
}

bool Codec<uint8_t>::decode(Reader& r, uint8_t& out) {
  uint64_t v = 0;
  if (!decode_unsigned(r, v, UINT8_MAX, expected.prefix)) return false;
  out = static_cast<uint8_t>(v);
  return true;
}

bool Codec<double>::decode(Reader& r, double& out) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value");
  if (c != '-' && (c < '0' || c > '9')) return r.invalid_type(expected);
  Number n;
  if (!r.read_number(n)) return false;
  switch (n.kind) {
    case Number::Kind::Unsigned:
      out = static_cast<double>(n.u);
      break;
    case Number::Kind::Signed:
      out = static_cast<double>(n.i);
      break;
    case Number::Kind::Float:
      out = n.d;
      break;
  }
  return true;
}

bool Codec<Object>::decode(Reader& r, Object& out) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value");
  if (c != '{') return r.invalid_type(expected);
  if (!r.enter_container()) return false;
  r.bump();
  out.clear();
  bool ok = r.read_object_members(&out);
  r.leave_container();
  return ok;
}

void Codec<Object>::write(Writer& w, const Object& v) {
  w.object(v);
}

namespace {

// An open-ended part read straight to its canonical compact text, once its opening bracket
// shows it is of the expected kind.
bool decode_canonical(Reader& r, std::string& text, char open, Expected expected) {
  int c = r.peek_ws();
  if (c < 0) return r.fail_peeked("EOF while parsing a value");
  if (c != open) return r.invalid_type(expected);
  text.clear();
  return r.read_canonical(text);
}

}  // namespace

bool Codec<ArrayText>::decode(Reader& r, ArrayText& out) {
  return decode_canonical(r, out.text, '[', expected);
}

void Codec<ArrayText>::write(Writer& w, const ArrayText& v) {
  if (w.style() == Style::Compact) {
    w.raw(v.text);
  } else {
    w.begin_array();
    for (const Value& e : v.tree()) w.value(e);
    w.end_array();
  }
}

bool Codec<ObjectText>::decode(Reader& r, ObjectText& out) {
  return decode_canonical(r, out.text, '{', expected);
}

void Codec<ObjectText>::write(Writer& w, const ObjectText& v) {
  if (w.style() == Style::Compact) {
    w.raw(v.text);
  } else {
    w.object(v.tree());
  }
}

}  // namespace zm::json
