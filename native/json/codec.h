// Record codec: typed decoding straight from the reader (one pass, no intermediate
// tree) and writing through the writer, both driven by one description per type.
//
// Schema code describes its types by specialising:
//   Record<R>: `name` (the type name in messages) and `fields`, an array of Field<R>
//              built with required/optional/defaulted/default_true, in declaration
//              order. The same table decodes, writes, and lists the names of the
//              record in "unknown field" errors.
//   Enum<E>:   `names`, the JSON strings of E's enumerators in declaration order.
//   Union<V>:  `name` and `tags`, the "kind" strings of the std::variant V's
//              alternatives in order; each alternative is itself a Record (possibly
//              with no fields).
// Scalars (std::string, bool, uint8_t, uint64_t, double), std::optional, std::vector,
// and generic values (Value, Object) are handled here.
//
// Decoding contract: every decoder returns false with a positioned error in the reader.
// Records also accept the array form (their field values in declaration order; missing
// trailing defaulted fields take their default). Tagged unions are read whole first;
// errors in the selected variant's fields are placed just past the union's '}'.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"

namespace zm::json {

template <class T>
struct Record;
template <class T>
struct Enum;
template <class T>
struct Union;
template <class T>
struct Codec;

enum class Presence : uint8_t {
  Required,     // must be present, null rejected
  Optional,     // std::optional: absent or null mean absent; left out on write when absent
  Defaulted,    // absent takes the default (empty); null rejected; left out when empty
  DefaultTrue,  // bool defaulting to true; written only when false
};

template <class R>
struct Field {
  std::string_view name;
  Presence presence;
  bool (*decode)(Reader&, R&);
  void (*write)(Writer&, const R&);
  // True when the value is the one a manifest leaves out (absent, empty, or true).
  bool (*omitted)(const R&);
};

template <class T>
concept RecordType = requires {
  Record<T>::fields;
  Record<T>::name;
};
template <class T>
concept EnumType = std::is_enum_v<T> && requires { Enum<T>::names; };
template <class T>
concept UnionType = requires {
  Union<T>::tags;
  Union<T>::name;
};

namespace detail {

template <class M>
struct MemberOf;
template <class R, class T>
struct MemberOf<T R::*> {
  using record = R;
  using type = T;
};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

template <auto M, Presence P>
constexpr Field<typename MemberOf<decltype(M)>::record> make_field(std::string_view name) {
  using R = typename MemberOf<decltype(M)>::record;
  using T = typename MemberOf<decltype(M)>::type;
  static_assert((P == Presence::Optional) == is_optional<T>, "optional fields are exactly the std::optional members");
  static_assert(P != Presence::DefaultTrue || std::is_same_v<T, bool>, "default_true is for bool members");
  return Field<R>{
      name,
      P,
      [](Reader& r, R& rec) { return Codec<T>::decode(r, rec.*M); },
      [](Writer& w, const R& rec) { Codec<T>::write(w, rec.*M); },
      [](const R& rec) {
        if constexpr (P == Presence::Optional) {
          return !(rec.*M).has_value();
        } else if constexpr (P == Presence::Defaulted) {
          return (rec.*M).empty();
        } else if constexpr (P == Presence::DefaultTrue) {
          return rec.*M;
        } else {
          return false;
        }
      },
  };
}

// Index of the field called `key`, starting the search at `hint` (fields usually come
// in declaration order); -1 when none.
template <class R>
int find_field(std::string_view key, size_t& hint) {
  constexpr auto& fields = Record<R>::fields;
  constexpr size_t n = fields.size();
  for (size_t k = 0; k < n; ++k) {
    size_t i = hint + k < n ? hint + k : hint + k - n;
    if (fields[i].name == key) {
      hint = i + 1 < n ? i + 1 : 0;
      return static_cast<int>(i);
    }
  }
  return -1;
}

template <class R>
std::string unknown_field_message(std::string_view key) {
  constexpr auto& fields = Record<R>::fields;
  if (fields.empty()) return fmt::format("unknown field `{}`, there are no fields", key);
  std::array<std::string_view, Record<R>::fields.size()> names{};
  for (size_t i = 0; i < fields.size(); ++i) names[i] = fields[i].name;
  return fmt::format("unknown field `{}`, expected {}", key, one_of(names.data(), names.size()));
}

// One member whose key has been read: checks the key against the record and decodes
// the value under the cursor (after the colon is read by `colon`).
template <class R, class Colon>
bool decode_member(Reader& r, R& out, std::string_view key, uint32_t& seen, size_t& hint, Colon&& colon) {
  int idx = find_field<R>(key, hint);
  if (idx < 0) return r.fail_unpositioned(unknown_field_message<R>(key));
  uint32_t bit = uint32_t{1} << idx;
  if (seen & bit) return r.fail_unpositioned(fmt::format("duplicate field `{}`", key));
  seen |= bit;
  if (!colon()) return false;
  return Record<R>::fields[static_cast<size_t>(idx)].decode(r, out);
}

template <class R>
bool check_required(Reader& r, uint32_t seen) {
  constexpr auto& fields = Record<R>::fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].presence == Presence::Required && !(seen & (uint32_t{1} << i))) {
      return r.fail_unpositioned(fmt::format("missing field `{}`", fields[i].name));
    }
  }
  return true;
}

// Object form: the cursor is just past '{'; on success it stands on '}' (not taken).
template <class R>
bool decode_members(Reader& r, R& out) {
  static_assert(Record<R>::fields.size() <= 32);
  uint32_t seen = 0;
  size_t hint = 0;
  bool first = true;
  for (;;) {
    int more = r.next_key(first);
    if (more < 0) return false;
    if (more == 0) break;
    std::string_view key;
    if (!r.read_string(key)) return false;
    if (!decode_member(r, out, key, seen, hint, [&] { return r.read_colon(); })) return false;
  }
  return check_required<R>(r, seen);
}

// Array form: the cursor is just past '['; on success it stands after the last element.
template <class R>
bool decode_elements(Reader& r, R& out) {
  constexpr auto& fields = Record<R>::fields;
  bool first = true;
  for (size_t i = 0; i < fields.size(); ++i) {
    int more = r.next_element(first);
    if (more < 0) return false;
    if (more == 0) {
      if (fields[i].presence == Presence::Defaulted || fields[i].presence == Presence::DefaultTrue) continue;
      return r.fail_unpositioned(fmt::format("invalid length {}, expected struct {} with {} element{}", i,
                                             Record<R>::name, fields.size(), fields.size() == 1 ? "" : "s"));
    }
    if (!fields[i].decode(r, out)) return false;
  }
  return true;
}

template <class R>
void write_fields(Writer& w, const R& rec) {
  for (const auto& f : Record<R>::fields) {
    if (w.omit_absent() && f.omitted(rec)) continue;
    w.key(f.name);
    f.write(w, rec);
  }
}

// A string naming one of `names`; returns its index, or -1 with the error set.
int decode_identifier(Reader& r, const std::string_view* names, size_t count);

// A buffered member of a tagged union: its key and where its value starts.
struct BufferedMember {
  std::string key;
  size_t value_offset;
};

template <class V, size_t I>
bool decode_alternative(Reader& r, const std::vector<BufferedMember>& members, V& out) {
  using Alt = std::variant_alternative_t<I, V>;
  Alt& alt = out.template emplace<I>();
  static_assert(Record<Alt>::fields.size() <= 32);
  uint32_t seen = 0;
  size_t hint = 0;
  for (const BufferedMember& m : members) {
    r.seek(m.value_offset);
    if (!decode_member(r, alt, m.key, seen, hint, [] { return true; })) return false;
  }
  return check_required<Alt>(r, seen);
}

template <class V, size_t... I>
bool decode_variant(Reader& r, size_t tag, const std::vector<BufferedMember>& members, V& out,
                    std::index_sequence<I...>) {
  using Fn = bool (*)(Reader&, const std::vector<BufferedMember>&, V&);
  static constexpr Fn table[] = {&decode_alternative<V, I>...};
  return table[tag](r, members, out);
}

}  // namespace detail

template <auto M>
constexpr auto required(std::string_view name) {
  return detail::make_field<M, Presence::Required>(name);
}
template <auto M>
constexpr auto optional(std::string_view name) {
  return detail::make_field<M, Presence::Optional>(name);
}
template <auto M>
constexpr auto defaulted(std::string_view name) {
  return detail::make_field<M, Presence::Defaulted>(name);
}
template <auto M>
constexpr auto default_true(std::string_view name) {
  return detail::make_field<M, Presence::DefaultTrue>(name);
}

// ---- scalars ------------------------------------------------------------------------

template <>
struct Codec<std::string> {
  static constexpr Expected expected{"a string"};
  static bool decode(Reader& r, std::string& out);
  static void write(Writer& w, const std::string& v) { w.string(v); }
};

template <>
struct Codec<bool> {
  static constexpr Expected expected{"a boolean"};
  static bool decode(Reader& r, bool& out);
  static void write(Writer& w, bool v) { w.boolean(v); }
};

template <>
struct Codec<uint64_t> {
  static constexpr Expected expected{"u64"};
  static bool decode(Reader& r, uint64_t& out);
  static void write(Writer& w, uint64_t v) { w.u64(v); }
};

template <>
struct Codec<uint8_t> {
  static constexpr Expected expected{"u8"};
  static bool decode(Reader& r, uint8_t& out);
  static void write(Writer& w, uint8_t v) { w.u64(v); }
};

template <>
struct Codec<double> {
  static constexpr Expected expected{"f64"};
  static bool decode(Reader& r, double& out);
  static void write(Writer& w, double v) { w.f64(v); }
};

template <>
struct Codec<Value> {
  static bool decode(Reader& r, Value& out) { return r.read_value(&out); }
  static void write(Writer& w, const Value& v) { w.value(v); }
};

// A JSON object of generic values (string keys; the last of a repeated key wins).
template <>
struct Codec<Object> {
  static constexpr Expected expected{"a map"};
  static bool decode(Reader& r, Object& out);
  static void write(Writer& w, const Object& v);
};

// Generic arrays and objects kept as canonical text: read in one pass, written as they
// are (the pretty style lays the parsed tree out).
template <>
struct Codec<ArrayText> {
  static constexpr Expected expected{"a sequence"};
  static bool decode(Reader& r, ArrayText& out);
  static void write(Writer& w, const ArrayText& v);
};

template <>
struct Codec<ObjectText> {
  static constexpr Expected expected{"a map"};
  static bool decode(Reader& r, ObjectText& out);
  static void write(Writer& w, const ObjectText& v);
};

// ---- containers ---------------------------------------------------------------------

template <class T>
struct Codec<std::optional<T>> {
  static bool decode(Reader& r, std::optional<T>& out) {
    if (r.peek_ws() == 'n') {
      r.bump();
      out.reset();
      return r.read_ident("ull");
    }
    return Codec<T>::decode(r, out.emplace());
  }
  static void write(Writer& w, const std::optional<T>& v) {
    if (v) {
      Codec<T>::write(w, *v);
    } else {
      w.null();
    }
  }
};

template <class T>
struct Codec<std::vector<T>> {
  static constexpr Expected expected{"a sequence"};
  static bool decode(Reader& r, std::vector<T>& out) {
    int c = r.peek_ws();
    if (c < 0) return r.fail_peeked("EOF while parsing a value");
    if (c != '[') return r.invalid_type(expected);
    if (!r.enter_container()) return false;
    r.bump();
    out.clear();
    bool first = true;
    for (;;) {
      int more = r.next_element(first);
      if (more < 0) return false;
      if (more == 0) break;
      if (!Codec<T>::decode(r, out.emplace_back())) return false;
    }
    r.leave_container();
    return r.end_array();
  }
  static void write(Writer& w, const std::vector<T>& v) {
    w.begin_array();
    for (const T& e : v) Codec<T>::write(w, e);
    w.end_array();
  }
};

// ---- described types ----------------------------------------------------------------

template <RecordType R>
struct Codec<R> {
  static constexpr Expected expected{"struct ", Record<R>::name};
  static bool decode(Reader& r, R& out) {
    int c = r.peek_ws();
    if (c < 0) return r.fail_peeked("EOF while parsing a value");
    if (c == '{') {
      if (!r.enter_container()) return false;
      r.bump();
      bool ok = detail::decode_members(r, out);
      r.leave_container();
      if (!ok) return r.fail_in_object();
      return r.end_object();
    }
    if (c == '[') {
      if (!r.enter_container()) return false;
      r.bump();
      bool ok = detail::decode_elements(r, out);
      r.leave_container();
      if (!ok) return r.fail_in_array();
      return r.end_array();
    }
    return r.invalid_type(expected);
  }
  static void write(Writer& w, const R& v) {
    w.begin_object();
    detail::write_fields(w, v);
    w.end_object();
  }
};

template <EnumType E>
struct Codec<E> {
  static constexpr Expected expected{"variant identifier"};
  static bool decode(Reader& r, E& out) {
    constexpr auto& names = Enum<E>::names;
    int idx = detail::decode_identifier(r, names.data(), names.size());
    if (idx < 0) return false;
    out = static_cast<E>(idx);
    return true;
  }
  static void write(Writer& w, E v) { w.string(Enum<E>::names[static_cast<size_t>(v)]); }
};

template <UnionType V>
struct Codec<V> {
  static constexpr Expected expected{"internally tagged enum ", Union<V>::name};
  static_assert(Union<V>::tags.size() == std::variant_size_v<V>);

  static bool decode(Reader& r, V& out) {
    constexpr auto& tags = Union<V>::tags;
    int c = r.peek_ws();
    if (c < 0) return r.fail_peeked("EOF while parsing a value");
    if (c != '{') return r.invalid_type(expected);
    if (!r.enter_container()) return false;
    r.bump();
    // Read the whole object: the tag is decoded at once, other members are checked
    // for syntax and remembered by position.
    std::vector<detail::BufferedMember> members;
    int tag = -1;
    bool first = true;
    for (;;) {
      int more = r.next_key(first);
      if (more < 0) return false;
      if (more == 0) break;
      std::string_view key;
      if (!r.read_string(key)) return false;
      if (key == "kind") {
        if (tag >= 0) {
          r.fail_unpositioned("duplicate field `kind`");
          return r.fail_in_object();
        }
        if (!r.read_colon()) return false;
        tag = detail::decode_identifier(r, tags.data(), tags.size());
        if (tag < 0) return false;
      } else {
        members.push_back({std::string(key), 0});
        if (!r.read_colon()) return false;
        r.peek_ws();
        members.back().value_offset = r.offset();
        if (!r.read_value(nullptr)) return false;
      }
    }
    r.leave_container();
    if (tag < 0) {
      r.fail_unpositioned("missing field `kind`");
      return r.fail_in_object();
    }
    if (!r.end_object()) return false;
    size_t union_end = r.offset();
    size_t previous = r.set_override(union_end);
    bool ok = detail::decode_variant(r, static_cast<size_t>(tag), members, out,
                                     std::make_index_sequence<std::variant_size_v<V>>{});
    if (!ok) r.fix_position();
    r.restore_override(previous);
    r.seek(union_end);
    return ok;
  }

  static void write(Writer& w, const V& v) {
    w.begin_object();
    w.key("kind");
    w.string(Union<V>::tags[v.index()]);
    std::visit([&](const auto& alt) { detail::write_fields(w, alt); }, v);
    w.end_object();
  }
};

// ---- whole documents ----------------------------------------------------------------

// Decodes `text` as one T followed by whitespace only.
template <class T>
bool decode_document(Reader& r, T& out) {
  return Codec<T>::decode(r, out) && r.finish();
}

template <class T>
std::string encode(const T& v, Style style, Absent absent = Absent::Omit) {
  Writer w(style, absent);
  Codec<T>::write(w, v);
  return w.take();
}

}  // namespace zm::json
