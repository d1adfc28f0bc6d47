// Strict RFC 8259 reader over raw bytes, with the exact error texts and positions of
// the JSON contract. It is the tokenizer under the record codec (json/codec.h) and
// builds generic values (json/value.h) on request.
//
// Errors. Every failing call returns false (or a negative count) and leaves one error
// in the reader. An error carries a byte index from which the line and column are
// computed; the index is either the "consumed" one (just past the last byte taken) or
// the "peeked" one (just past the byte looked at, capped at the input length). Schema
// errors are raised without a position and receive one from the innermost value that
// encloses them (fix_position), as the contract prescribes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace zm::json {

// The outermost value is level 1; opening a container at level 129 fails.
inline constexpr int kMaxDepth = 128;

struct Number {
  enum class Kind : uint8_t { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
};

struct Position {
  uint64_t line = 1;
  uint64_t column = 0;
};

// Line: 1 + line feeds before `index`; column: bytes between the last of those line
// feeds and `index`.
Position position_of(std::string_view text, size_t index);

// What a schema error says was wanted: prefix + name ("struct " + "Artifact", "u64").
struct Expected {
  std::string_view prefix;
  std::string_view name = {};
};

class Reader {
 public:
  explicit Reader(std::string_view text) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::string_view text() const { return std::string_view(begin_, static_cast<size_t>(end_ - begin_)); }
  size_t offset() const { return static_cast<size_t>(p_ - begin_); }
  void seek(size_t offset) { p_ = begin_ + offset; }

  // Skips JSON whitespace and returns the next byte without taking it, -1 at the end.
  int peek_ws() {
    while (p_ < end_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      ++p_;
    }
    return -1;
  }
  void bump() { ++p_; }

  // ---- errors -----------------------------------------------------------------------
  bool has_error() const { return has_error_; }
  const std::string& error_message() const { return message_; }
  size_t error_index() const { return error_index_; }

  bool fail_peeked(std::string_view message);
  bool fail_consumed(std::string_view message);
  // A schema error; its position is given by fix_position().
  bool fail_unpositioned(std::string message);
  // Gives a pending unpositioned error the consumed index, or the override index when
  // one is set. No effect on positioned errors.
  void fix_position();
  // While set, schema errors are placed at `index` (the end of a tagged union whose
  // variant is being decoded). An outer override stays in force. Returns the previous
  // value for restore_override().
  size_t set_override(size_t index);
  void restore_override(size_t previous) { override_ = previous; }

  // ---- tokens; the cursor stands on the token's first byte ---------------------------
  // Takes the rest of a literal whose first byte was taken ("ull" after 'n').
  bool read_ident(std::string_view rest);
  // Takes a string. `out` views the input (no escapes) or an internal scratch buffer
  // that the next read_string reuses.
  bool read_string(std::string_view& out);
  // Takes a number: unsigned when a non-negative integer fits u64, signed when a
  // negative integer fits i64, otherwise a double ("-0" is the double -0.0).
  bool read_number(Number& out);
  // Skips whitespace and takes one value; with out == nullptr it is only checked.
  bool read_value(Value* out);
  // After '{' was taken: members into `out` (or checked only), up to and including '}'.
  // A repeated key keeps its last value; members end sorted by key.
  bool read_object_members(Object* out);
  // Skips whitespace, takes one value and appends its canonical compact text (see
  // ArrayText). Errors and their positions are those of read_value.
  bool read_canonical(std::string& out);

  // ---- containers, as the typed decoders walk them ----------------------------------
  // Checks the nesting limit at the bracket under the cursor (not taken yet).
  bool enter_container();
  void leave_container() { --depth_; }
  // Inside an object, after '{' or a member: 1 = a key follows (cursor on '"'),
  // 0 = '}' follows (not taken), -1 = error.
  int next_key(bool& first);
  bool read_colon();
  // Inside an array: 1 = an element follows, 0 = ']' follows (not taken), -1 = error.
  int next_element(bool& first);
  // Take the closing bracket after the last member or element.
  bool end_object();
  bool end_array();
  // After a pending schema error inside an object or array: take what the closing step
  // would have taken (whitespace, then the bracket when it is next), then fix the
  // position there. Always returns false.
  bool fail_in_object();
  bool fail_in_array();

  // The value under the cursor is of the wrong type: takes it when it is a scalar (its
  // own syntax errors win), then fails with "invalid type: U, expected E".
  bool invalid_type(Expected expected);
  // "unknown variant `v`, expected ..." at the consumed index.
  bool unknown_variant(std::string_view value, const std::string_view* names, size_t count);

  // After the top-level value: only whitespace may follow.
  bool finish();

 private:
  bool parse_escape();
  bool read_hex4(uint32_t& out);
  bool read_array_elements(Array* out);

  // Where the canonical reader writes: a cursor into `text`, whose size runs ahead of
  // what was written (the tail is scratch room) until finish() cuts it to the written
  // length. Text is written through the cursor with one room check per token.
  struct CanonOut {
    CanonOut(std::string& s, size_t expected);
    std::string& text;
    char* base = nullptr;
    char* o = nullptr;
    char* lim = nullptr;

    size_t size() const { return static_cast<size_t>(o - base); }
    void need(size_t n) {
      if (static_cast<size_t>(lim - o) < n) grow(n);
    }
    void grow(size_t n);
    void put(char c) {
      need(1);
      *o++ = c;
    }
    void put(const char* p, size_t n) {
      need(n);
      std::memcpy(o, p, n);
      o += n;
    }
    // `text` cut to what was written, for appending through std::string; reopen() takes
    // the cursor back after that.
    std::string& flush();
    void reopen();
    void finish();
  };
  bool canon_value(CanonOut& out);
  bool canon_array(CanonOut& out);
  bool canon_object(CanonOut& out);
  bool canon_string(CanonOut& out, std::string_view* body);
  bool canon_string_general(CanonOut& out, std::string_view* body);
  bool canon_number(CanonOut& out);
  bool canon_number_general(CanonOut& out);
  bool canon_literal_general(CanonOut& out, int c);

  // One member of an object being canonicalised: its key (a view of the input when the
  // key had no escape, else a range of canon_keys_) and its "key":value text in the
  // output. Objects nest, so these work as stacks shared by all levels.
  struct CanonMember {
    const char* key_data;  // nullptr: the key is canon_keys_[key_offset, +key_size)
    size_t key_offset;
    size_t key_size;
    size_t start;
    size_t end;
  };
  std::string_view canon_key(const CanonMember& m) const {
    if (m.key_data) return std::string_view(m.key_data, m.key_size);
    return std::string_view(canon_keys_).substr(m.key_offset, m.key_size);
  }
  std::vector<CanonMember> canon_members_;
  std::string canon_keys_;
  std::vector<size_t> canon_order_;
  std::string canon_copy_;

  const char* begin_;
  const char* p_;
  const char* end_;
  int depth_ = 0;
  size_t override_ = kNoOverride;
  std::string scratch_;

  bool has_error_ = false;
  bool positioned_ = false;
  size_t error_index_ = 0;
  std::string message_;

  static constexpr size_t kNoOverride = static_cast<size_t>(-1);
};

// "one of `a`, `b`, `c`" (two or more names), "`a`" (one name).
std::string one_of(const std::string_view* names, size_t count);
// "integer `5`", "integer `-5`", "floating point `1.5`".
std::string describe_number(const Number& n);

}  // namespace zm::json
