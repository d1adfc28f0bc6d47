#include "json/reader.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fmt/format.h>

#include "json/number_text.h"
#include "json/writer.h"
#include "text/quoted.h"
#include "text/utf8.h"

namespace zm::json {

namespace {

// Bytes that end the plain run of a string: quote, backslash, control bytes.
constexpr auto kStringStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

#if defined(__SSE2__)
// Bit i set when byte i of the 16 ends a string's plain run: a quote, a backslash or a
// control byte.
inline unsigned string_stops(__m128i x) {
  const __m128i quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}
#endif

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Whether a valid JSON number is already written as append_float_text writes its value:
// "I.F" with no exponent, at most 15 digits in all (so the digits are the shortest that
// read back to the value), no zero ending the fraction except in "I.0" for a non-zero
// integral value, and for a value below 1 at most four zeros before the first
// significant digit (the plain layout reaches down to 1e-5).
bool is_float_text(std::string_view t) {
  if (!t.empty() && t[0] == '-') t.remove_prefix(1);
  size_t dot = t.find('.');
  if (dot == std::string_view::npos || t.find_first_of("eE") != std::string_view::npos) return false;
  std::string_view whole = t.substr(0, dot);
  std::string_view frac = t.substr(dot + 1);
  if (frac.empty() || whole.size() + frac.size() > 15) return false;
  if (whole != "0") return frac == "0" || frac.back() != '0';
  size_t zeros = frac.find_first_not_of('0');
  return zeros != std::string_view::npos && zeros <= 4 && frac.back() != '0';
}

// Byte order of object keys; most neighbours differ in their first byte.
bool key_less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  return a < b;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Correctly rounded decimal-to-double conversion. libc++ builds (fuzzing, tidy) lack the
// floating-point from_chars; there strtod over a NUL-terminated copy does the same job.
std::from_chars_result parse_double(const char* first, const char* last, double& out) {
#if defined(_LIBCPP_VERSION)
  std::string text(first, last);
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  std::from_chars_result r{first + (end - text.c_str()), std::errc()};
  if (errno == ERANGE) {
    r.ec = std::errc::result_out_of_range;
  } else {
    out = v;
  }
  return r;
#else
  return std::from_chars(first, last, out);
#endif
}

// For a decimal literal that from_chars found out of range: true when its magnitude
// is huge (overflow), false when it is tiny (underflow to zero). The literal is valid
// JSON number syntax.
bool magnitude_overflows(const char* p, const char* end) {
  if (*p == '-') ++p;
  int64_t lead = 0;  // decimal exponent of the first significant digit, relative
  bool found = false;
  int64_t int_digits = 0;
  for (; p < end && is_digit(*p); ++p) {
    if (!found && *p != '0') found = true;
    if (found) ++int_digits;
  }
  if (found) {
    lead = int_digits;
  } else if (p < end && *p == '.') {
    ++p;
    int64_t zeros = 0;
    for (; p < end && is_digit(*p); ++p) {
      if (*p != '0') {
        found = true;
        break;
      }
      ++zeros;
    }
    lead = -zeros;
  }
  while (p < end && *p != 'e' && *p != 'E') ++p;
  int64_t exp = 0;
  if (p < end) {
    ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    for (; p < end; ++p) exp = std::min<int64_t>(exp * 10 + (*p - '0'), int64_t{1} << 40);
    if (neg) exp = -exp;
  }
  return found && lead + exp > 0;
}

// Sorts members by key, keeping the last of a repeated key. Objects usually arrive
// sorted or small, so those cases avoid a general stable sort.
void sort_members(Object& obj) {
  auto less = [](const auto& a, const auto& b) { return a.first < b.first; };
  bool strictly_sorted = true;
  for (size_t i = 1; i < obj.size() && strictly_sorted; ++i) strictly_sorted = obj[i - 1].first < obj[i].first;
  if (strictly_sorted) return;
  if (obj.size() <= 16) {
    // Stable insertion sort.
    for (size_t i = 1; i < obj.size(); ++i) {
      if (!less(obj[i], obj[i - 1])) continue;
      auto moving = std::move(obj[i]);
      size_t j = i;
      for (; j > 0 && less(moving, obj[j - 1]); --j) obj[j] = std::move(obj[j - 1]);
      obj[j] = std::move(moving);
    }
  } else {
    std::stable_sort(obj.begin(), obj.end(), less);
  }
  // Equal keys are now adjacent in input order: keep the last of each run.
  size_t w = 0;
  for (size_t i = 0; i < obj.size(); ++i) {
    if (w > 0 && obj[w - 1].first == obj[i].first) {
      obj[w - 1] = std::move(obj[i]);
    } else {
      if (w != i) obj[w] = std::move(obj[i]);
      ++w;
    }
  }
  obj.resize(w);
}

}  // namespace

Position position_of(std::string_view text, size_t index) {
  index = std::min(index, text.size());
  Position pos;
  size_t line_start = 0;
  const char* base = text.data();
  const char* p = base;
  const char* stop = base + index;
  while (p < stop) {
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(stop - p));
    if (nl == nullptr) break;
    ++pos.line;
    p = static_cast<const char*>(nl) + 1;
    line_start = static_cast<size_t>(p - base);
  }
  pos.column = index - line_start;
  return pos;
}

std::string one_of(const std::string_view* names, size_t count) {
  if (count == 1) return fmt::format("`{}`", names[0]);
  std::string out = "one of ";
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += '`';
    out.append(names[i]);
    out += '`';
  }
  return out;
}

std::string describe_number(const Number& n) {
  switch (n.kind) {
    case Number::Kind::Unsigned:
      return fmt::format("integer `{}`", n.u);
    case Number::Kind::Signed:
      return fmt::format("integer `{}`", n.i);
    case Number::Kind::Float:
      break;
  }
  return fmt::format("floating point `{}`", float_text(n.d));
}

// ---- errors -------------------------------------------------------------------------

bool Reader::fail_peeked(std::string_view message) {
  has_error_ = true;
  positioned_ = true;
  error_index_ = std::min(offset() + 1, text().size());
  message_.assign(message);
  return false;
}

bool Reader::fail_consumed(std::string_view message) {
  has_error_ = true;
  positioned_ = true;
  error_index_ = offset();
  message_.assign(message);
  return false;
}

bool Reader::fail_unpositioned(std::string message) {
  has_error_ = true;
  positioned_ = false;
  message_ = std::move(message);
  return false;
}

void Reader::fix_position() {
  if (!has_error_ || positioned_) return;
  positioned_ = true;
  error_index_ = override_ != kNoOverride ? override_ : offset();
}

size_t Reader::set_override(size_t index) {
  size_t previous = override_;
  if (override_ == kNoOverride) override_ = index;
  return previous;
}

// ---- tokens -------------------------------------------------------------------------

bool Reader::read_ident(std::string_view rest) {
  for (char want : rest) {
    if (p_ == end_) return fail_consumed("EOF while parsing a value");
    if (*p_++ != want) return fail_consumed("expected ident");
  }
  return true;
}

bool Reader::read_hex4(uint32_t& out) {
  if (end_ - p_ < 4) {
    p_ = end_;
    return fail_consumed("EOF while parsing a string");
  }
  uint32_t n = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    int h = hex_value(p_[k]);
    ok = ok && h >= 0;
    n = (n << 4) | static_cast<uint32_t>(h & 15);
  }
  // The four bytes are taken as one unit, valid or not.
  p_ += 4;
  if (!ok) return fail_consumed("invalid escape");
  out = n;
  return true;
}

// The cursor is just past the backslash; the decoded text goes to scratch_.
bool Reader::parse_escape() {
  if (p_ == end_) return fail_consumed("EOF while parsing a string");
  char c = *p_++;
  switch (c) {
    case '"':
    case '\\':
    case '/':
      scratch_.push_back(c);
      return true;
    case 'b':
      scratch_.push_back('\b');
      return true;
    case 'f':
      scratch_.push_back('\f');
      return true;
    case 'n':
      scratch_.push_back('\n');
      return true;
    case 'r':
      scratch_.push_back('\r');
      return true;
    case 't':
      scratch_.push_back('\t');
      return true;
    case 'u':
      break;
    default:
      return fail_consumed("invalid escape");
  }
  uint32_t n = 0;
  if (!read_hex4(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail_consumed("lone leading surrogate in hex escape");
  if (n >= 0xD800 && n <= 0xDBFF) {
    // A high surrogate must be followed by "\u" and a low surrogate.
    if (p_ == end_) return fail_consumed("EOF while parsing a string");
    if (*p_++ != '\\') return fail_consumed("unexpected end of hex escape");
    if (p_ == end_) return fail_consumed("EOF while parsing a string");
    if (*p_++ != 'u') return fail_consumed("unexpected end of hex escape");
    uint32_t n2 = 0;
    if (!read_hex4(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_consumed("lone leading surrogate in hex escape");
    n = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
  }
  append_utf8(scratch_, n);
  return true;
}

bool Reader::read_string(std::string_view& out) {
  ++p_;  // the opening quote
  const char* run = p_;
  bool escaped = false;
  uint64_t high = 0;  // non-zero when a plain byte has bit 7 set: UTF-8 must be checked
  for (;;) {
#if defined(__SSE2__)
    // Sixteen bytes at a time while none of them is a quote, a backslash or a control
    // byte; the plain bytes before the first such byte are skipped at once.
    while (end_ - p_ >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const unsigned stops = string_stops(x);
      const auto bytes = static_cast<unsigned>(_mm_movemask_epi8(x));
      if (stops != 0) {
        high |= bytes & ((stops & (0u - stops)) - 1);
        p_ += std::countr_zero(stops);
        break;
      }
      high |= bytes;
      p_ += 16;
    }
#else
    // Eight bytes at a time while none of them is a quote, a backslash or a control
    // byte. The word test is exact about whether such a byte is present; the byte
    // loop below then finds which one it is.
    constexpr uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
    while (end_ - p_ >= 8) {
      uint64_t w;
      std::memcpy(&w, p_, 8);
      uint64_t q = w ^ (k01 * '"');
      uint64_t b = w ^ (k01 * '\\');
      uint64_t hit = (((q - k01) & ~q) | ((b - k01) & ~b) | ((w - k01 * 0x20) & ~w)) & k80;
      if (hit) {
        if constexpr (std::endian::native == std::endian::little) {
          // The lowest flagged byte is exact (a borrow only runs upwards): skip the
          // plain bytes before it, and only those count towards the UTF-8 check.
          unsigned plain = static_cast<unsigned>(std::countr_zero(hit)) / 8;
          high |= w & ((uint64_t{1} << (8 * plain)) - 1) & k80;
          p_ += plain;
        }
        break;
      }
      high |= w & k80;
      p_ += 8;
    }
#endif
    while (p_ < end_) {
      unsigned char c = static_cast<unsigned char>(*p_);
      if (kStringStop[c]) break;
      high |= c & 0x80;
      ++p_;
    }
    if (p_ == end_) return fail_consumed("EOF while parsing a string");
    char c = *p_;
    if (c == '"') {
      std::string_view body;
      if (escaped) {
        scratch_.append(run, p_);
        body = scratch_;
      } else {
        body = std::string_view(run, static_cast<size_t>(p_ - run));
      }
      ++p_;
      // Checked once the string is complete, so the error sits past the closing quote.
      if (high != 0 && !text::is_valid_utf8(body)) return fail_consumed("invalid unicode code point");
      out = body;
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        scratch_.clear();
        escaped = true;
      }
      scratch_.append(run, p_);
      ++p_;
      if (!parse_escape()) return false;
      run = p_;
      continue;
    }
    ++p_;
    return fail_consumed("control character (\\u0000-\\u001F) found while parsing a string");
  }
}

bool Reader::read_number(Number& out) {
  const char* start = p_;
  bool neg = false;
  if (*p_ == '-') {
    neg = true;
    ++p_;
  }
  if (p_ == end_) return fail_consumed("EOF while parsing a value");
  const char* int_start = p_;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) return fail_peeked("invalid number");
  } else if (is_digit(*p_)) {
    ++p_;
    while (p_ < end_ && is_digit(*p_)) ++p_;
  } else {
    ++p_;
    return fail_consumed("invalid number");
  }
  const char* int_end = p_;
  bool is_float = false;
  if (p_ < end_ && *p_ == '.') {
    ++p_;
    if (p_ == end_) return fail_peeked("EOF while parsing a value");
    if (!is_digit(*p_)) return fail_peeked("invalid number");
    while (p_ < end_ && is_digit(*p_)) ++p_;
    is_float = true;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) return fail_consumed("EOF while parsing a value");
    if (!is_digit(*p_)) {
      ++p_;
      return fail_consumed("invalid number");
    }
    while (p_ < end_ && is_digit(*p_)) ++p_;
    is_float = true;
  }
  if (!is_float) {
    uint64_t mag = 0;
    auto r = std::from_chars(int_start, int_end, mag);
    if (r.ec == std::errc()) {
      if (!neg) {
        out.kind = Number::Kind::Unsigned;
        out.u = mag;
        return true;
      }
      if (mag != 0 && mag <= (uint64_t{1} << 63)) {
        out.kind = Number::Kind::Signed;
        out.i = static_cast<int64_t>(0 - mag);
        return true;
      }
    }
    // Beyond the integer classes (or "-0"): a double.
  }
  double d = 0;
  auto r = parse_double(start, p_, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (magnitude_overflows(start, p_)) return fail_consumed("number out of range");
    d = neg ? -0.0 : 0.0;
  }
  out.kind = Number::Kind::Float;
  out.d = d;
  return true;
}

bool Reader::read_value(Value* out) {
  int c = peek_ws();
  switch (c) {
    case -1:
      return fail_peeked("EOF while parsing a value");
    case 'n':
      ++p_;
      if (!read_ident("ull")) return false;
      if (out) out->v = nullptr;
      return true;
    case 't':
      ++p_;
      if (!read_ident("rue")) return false;
      if (out) out->v = true;
      return true;
    case 'f':
      ++p_;
      if (!read_ident("alse")) return false;
      if (out) out->v = false;
      return true;
    case '"': {
      std::string_view s;
      if (!read_string(s)) return false;
      if (out) out->v = std::string(s);
      return true;
    }
    case '[': {
      if (!enter_container()) return false;
      ++p_;
      Array* arr = nullptr;
      if (out) arr = &out->v.emplace<Array>();
      bool ok = read_array_elements(arr);
      leave_container();
      return ok && end_array();
    }
    case '{': {
      if (!enter_container()) return false;
      ++p_;
      Object* obj = nullptr;
      if (out) obj = &out->v.emplace<Object>();
      bool ok = read_object_members(obj);
      leave_container();
      return ok;
    }
    default:
      if (c == '-' || is_digit(static_cast<char>(c))) {
        Number n;
        if (!read_number(n)) return false;
        if (out) {
          switch (n.kind) {
            case Number::Kind::Unsigned:
              out->v = n.u;
              break;
            case Number::Kind::Signed:
              out->v = n.i;
              break;
            case Number::Kind::Float:
              out->v = n.d;
              break;
          }
        }
        return true;
      }
      return fail_peeked("expected value");
  }
}

bool Reader::read_array_elements(Array* out) {
  bool first = true;
  for (;;) {
    int more = next_element(first);
    if (more < 0) return false;
    if (more == 0) return true;
    if (out) {
      if (!read_value(&out->emplace_back())) return false;
    } else if (!read_value(nullptr)) {
      return false;
    }
  }
}

bool Reader::read_object_members(Object* out) {
  bool first = true;
  for (;;) {
    int more = next_key(first);
    if (more < 0) return false;
    if (more == 0) break;
    std::string_view key;
    if (!read_string(key)) return false;
    if (out) out->emplace_back(std::string(key), Value{});
    if (!read_colon()) return false;
    if (!read_value(out ? &out->back().second : nullptr)) return false;
  }
  if (!end_object()) return false;
  if (out && out->size() > 1) sort_members(*out);
  return true;
}

// ---- canonical text --------------------------------------------------------------------
//
// Each token takes a fast path when it is in its usual form (a string without escapes,
// a number already written as the writer writes it, a literal, a separator right where
// it is expected); anything else puts the cursor back where the token or step began and
// takes the general path, which is the one that reports errors. So errors, their
// positions and the text written are those of the general path alone.

Reader::CanonOut::CanonOut(std::string& s, size_t expected) : text(s) {
  const size_t used = text.size();
  // Room for the rest of the input: canonical text is rarely longer than its source.
  text.resize_and_overwrite(used + expected + 64, [](char*, size_t n) { return n; });
  base = text.data();
  o = base + used;
  lim = base + text.size();
}

void Reader::CanonOut::grow(size_t n) {
  const size_t used = size();
  text.resize_and_overwrite(std::max(text.size() * 2, used + n + 64), [](char*, size_t m) { return m; });
  base = text.data();
  o = base + used;
  lim = base + text.size();
}

std::string& Reader::CanonOut::flush() {
  text.resize(size());
  return text;
}

void Reader::CanonOut::reopen() {
  const size_t used = text.size();
  text.resize_and_overwrite(text.capacity(), [](char*, size_t n) { return n; });
  base = text.data();
  o = base + used;
  lim = base + text.size();
}

void Reader::CanonOut::finish() {
  text.resize(size());
  // Room taken for the rest of the input and never written costs no memory until it is
  // touched; it is given back only when it dwarfs the text (a copy touches fresh pages).
  if (text.capacity() - text.size() > 4 * text.size() + 65536) text.shrink_to_fit();
}

// Cursor on the opening quote. A string without escapes is copied as it stands: its body
// holds no quote, backslash or control byte, so it is what the writer would produce.
// `body` receives its content (a view of the input, or of the scratch buffer after an
// escape: the caller keeps a copy if it needs one past the next string).
[[gnu::always_inline]] inline bool Reader::canon_string(CanonOut& out, std::string_view* body) {
  const char* const start = p_;
  const char* q = p_ + 1;
  const size_t mark = out.size();
  out.need(1);
  char* o = out.o;
  *o++ = '"';
  unsigned high = 0;  // non-zero when a byte of the body has bit 7 set
  bool stopped = false;
#if defined(__SSE2__)
  // Sixteen bytes are copied while they are scanned; the bytes stored past the first
  // stop lie beyond the cursor and are overwritten later.
  while (end_ - q >= 16) {
    if (out.lim - o < 16) {
      out.o = o;
      out.need(16);
      o = out.o;
    }
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
    const unsigned stops = string_stops(x);
    const auto bytes = static_cast<unsigned>(_mm_movemask_epi8(x));
    if (stops != 0) {
      const int plain = std::countr_zero(stops);
      high |= bytes & ((1u << plain) - 1);
      q += plain;
      o += plain;  // at least one byte of room is left for the closing quote
      stopped = true;
      break;
    }
    high |= bytes;
    q += 16;
    o += 16;
  }
#endif
  if (!stopped) {
    out.o = o;
    out.need(static_cast<size_t>(end_ - q) + 1);
    o = out.o;
    while (q < end_) {
      const auto c = static_cast<unsigned char>(*q);
      if (kStringStop[c]) break;
      high |= c & 0x80;
      *o++ = static_cast<char>(c);
      ++q;
    }
  }
  if (q < end_ && *q == '"') {
    const std::string_view content(start + 1, static_cast<size_t>(q - start - 1));
    if (high == 0 || text::is_valid_utf8(content)) {
      *o++ = '"';
      out.o = o;
      p_ = q + 1;
      if (body) *body = content;
      return true;
    }
  }
  // An escape, a control byte, invalid UTF-8 or the end of the input.
  out.o = out.base + mark;
  return canon_string_general(out, body);
}

bool Reader::read_canonical(std::string& out) {
  CanonOut o(out, static_cast<size_t>(end_ - p_));
  const bool ok = canon_value(o);
  o.finish();
  return ok;
}

bool Reader::canon_value(CanonOut& out) {
  const int c = peek_ws();
  switch (c) {
    case '"':
      return canon_string(out, nullptr);
    case '{': {
      if (!enter_container()) return false;
      ++p_;
      const bool ok = canon_object(out);
      leave_container();
      return ok;
    }
    case '[':
      return canon_array(out);
    case 't':
    case 'f':
    case 'n': {
      const std::string_view literal = c == 't' ? "true" : c == 'f' ? "false" : "null";
      const auto n = static_cast<std::ptrdiff_t>(literal.size());
      if (end_ - p_ >= n && std::memcmp(p_, literal.data(), literal.size()) == 0) {
        p_ += n;
        out.put(literal.data(), literal.size());
        return true;
      }
      return canon_literal_general(out, c);
    }
    default:
      if (c == '-' || is_digit(static_cast<char>(c))) return canon_number(out);
      if (c < 0) return fail_peeked("EOF while parsing a value");
      return fail_peeked("expected value");
  }
}

bool Reader::canon_literal_general(CanonOut& out, int c) {
  ++p_;
  switch (c) {
    case 't':
      return read_ident("rue") && (out.put("true", 4), true);
    case 'f':
      return read_ident("alse") && (out.put("false", 5), true);
    default:
      return read_ident("ull") && (out.put("null", 4), true);
  }
}

bool Reader::canon_string_general(CanonOut& out, std::string_view* body) {
  const char* start = p_;
  std::string_view s;
  if (!read_string(s)) return false;
  std::string& text = out.flush();
  if (s.data() == start + 1) {
    text.append(start, static_cast<size_t>(p_ - start));
  } else {
    append_json_string(text, s);
  }
  out.reopen();
  if (body) *body = s;
  return true;
}

// Cursor on '-' or a digit. Copied as it stands: an integer that fits its class (no
// leading zero, sign or exponent the writer would drop) and a decimal already in the
// writer's shortest form. Anything else is parsed and rewritten by the general path.
bool Reader::canon_number(CanonOut& out) {
  const char* const start = p_;
  const char* q = p_;
  if (*q == '-') ++q;
  const char* const digits = q;
  while (q < end_ && is_digit(*q)) ++q;
  const auto whole = static_cast<size_t>(q - digits);
  bool plain = whole == 1 || (whole > 1 && *digits != '0');
  if (plain && q < end_ && *q == '.') {
    ++q;
    while (q < end_ && is_digit(*q)) ++q;
    plain = (q == end_ || (*q != 'e' && *q != 'E')) &&
            is_float_text(std::string_view(start, static_cast<size_t>(q - start)));
  } else if (plain) {
    if (q < end_ && (*q == 'e' || *q == 'E')) {
      plain = false;
    } else if (digits != start) {
      // "-0" is the double -0.0; 18 digits always fit i64.
      plain = *digits != '0' && whole <= 18;
    } else {
      plain = whole <= 19;  // always fits u64
    }
  }
  if (!plain) return canon_number_general(out);
  out.put(start, static_cast<size_t>(q - start));
  p_ = q;
  return true;
}

bool Reader::canon_number_general(CanonOut& out) {
  const char* start = p_;
  Number n;
  if (!read_number(n)) return false;
  if (n.kind == Number::Kind::Float && !is_float_text(std::string_view(start, static_cast<size_t>(p_ - start)))) {
    append_float_text(out.flush(), n.d);
    out.reopen();
  } else {
    out.put(start, static_cast<size_t>(p_ - start));
  }
  return true;
}

bool Reader::canon_array(CanonOut& out) {
  if (!enter_container()) return false;
  ++p_;
  out.put('[');
  bool first = true;
  bool ok = true;
  for (;;) {
    // The usual step: the first element, or a comma and the next element.
    const char* step = p_;
    const bool was_first = first;
    int c = peek_ws();
    if (!first && c == ',') {
      ++p_;
      c = peek_ws();
    } else if (!first) {
      c = ']';
    }
    if (c < 0 || c == ']') {
      p_ = step;
      const int more = next_element(first);
      if (more <= 0) {
        ok = more == 0;
        break;
      }
    }
    first = false;
    if (!was_first) out.put(',');
    if (!canon_value(out)) {
      ok = false;
      break;
    }
  }
  leave_container();
  if (!ok || !end_array()) return false;
  out.put(']');
  return true;
}

// After '{' was taken.
bool Reader::canon_object(CanonOut& out) {
  out.put('{');
  const size_t body = out.size();
  const size_t base = canon_members_.size();
  const size_t keys_mark = canon_keys_.size();
  size_t count = 0;
  CanonMember last{};
  bool sorted = true;
  bool ok = true;
  for (;;) {
    // The usual step: the first key, or a comma and the next key.
    const char* step = p_;
    int c = peek_ws();
    if (count > 0) {
      if (c == ',') {
        ++p_;
        c = peek_ws();
      } else {
        c = '}';
      }
    }
    if (c != '"') {
      p_ = step;
      bool first = count == 0;
      const int more = next_key(first);
      if (more < 0) ok = false;
      if (more <= 0) break;
    }
    if (count > 0) out.put(',');
    CanonMember m{};
    m.start = out.size();
    const char* key_start = p_;
    std::string_view key;
    if (!canon_string(out, &key)) {
      ok = false;
      break;
    }
    if (key.data() == key_start + 1) {
      m.key_data = key.data();
      m.key_size = key.size();
    } else {
      // The key was unescaped into the scratch buffer, which the next string reuses.
      m.key_data = nullptr;
      m.key_offset = canon_keys_.size();
      m.key_size = key.size();
      canon_keys_.append(key);
    }
    if (p_ < end_ && *p_ == ':') {
      ++p_;
    } else if (!read_colon()) {
      ok = false;
      break;
    }
    out.put(':');
    if (!canon_value(out)) {
      ok = false;
      break;
    }
    m.end = out.size();
    if (count > 0 && sorted && !key_less(canon_key(last), canon_key(m))) sorted = false;
    canon_members_.push_back(m);
    last = m;
    ++count;
  }
  if (ok) {
    if (p_ < end_ && *p_ == '}') {
      ++p_;
    } else {
      ok = end_object();
    }
  }
  if (ok && !sorted) {
    // Reorder: stable by key, so equal keys stay in input order and the last one is kept.
    canon_order_.clear();
    for (size_t i = base; i < canon_members_.size(); ++i) canon_order_.push_back(i);
    auto less = [this](size_t a, size_t b) { return key_less(canon_key(canon_members_[a]), canon_key(canon_members_[b])); };
    if (canon_order_.size() <= 16) {
      for (size_t i = 1; i < canon_order_.size(); ++i) {
        size_t moving = canon_order_[i];
        size_t j = i;
        for (; j > 0 && less(moving, canon_order_[j - 1]); --j) canon_order_[j] = canon_order_[j - 1];
        canon_order_[j] = moving;
      }
    } else {
      std::stable_sort(canon_order_.begin(), canon_order_.end(), less);
    }
    canon_copy_.assign(out.base + body, out.size() - body);
    out.o = out.base + body;
    bool any = false;
    for (size_t j = 0; j < canon_order_.size(); ++j) {
      const CanonMember& m = canon_members_[canon_order_[j]];
      if (j + 1 < canon_order_.size() && canon_key(m) == canon_key(canon_members_[canon_order_[j + 1]])) continue;
      if (any) out.put(',');
      any = true;
      out.put(canon_copy_.data() + (m.start - body), m.end - m.start);
    }
  }
  canon_members_.resize(base);
  canon_keys_.resize(keys_mark);
  if (ok) out.put('}');
  return ok;
}

Array ArrayText::tree() const {
  Value v;
  Reader r(text);
  r.read_value(&v);
  if (Array* arr = std::get_if<Array>(&v.v)) return std::move(*arr);
  return {};
}

Object ObjectText::tree() const {
  Value v;
  Reader r(text);
  r.read_value(&v);
  if (Object* obj = std::get_if<Object>(&v.v)) return std::move(*obj);
  return {};
}

// ---- containers ---------------------------------------------------------------------

bool Reader::enter_container() {
  if (++depth_ > kMaxDepth) return fail_peeked("recursion limit exceeded");
  return true;
}

int Reader::next_key(bool& first) {
  int c = peek_ws();
  if (c < 0) return fail_peeked("EOF while parsing an object"), -1;
  if (c == '}') return 0;
  if (first) {
    first = false;
    if (c == '"') return 1;
    return fail_peeked("key must be a string"), -1;
  }
  if (c != ',') return fail_peeked("expected `,` or `}`"), -1;
  ++p_;
  c = peek_ws();
  if (c == '"') return 1;
  if (c == '}') return fail_peeked("trailing comma"), -1;
  if (c < 0) return fail_peeked("EOF while parsing a value"), -1;
  return fail_peeked("key must be a string"), -1;
}

bool Reader::read_colon() {
  int c = peek_ws();
  if (c == ':') {
    ++p_;
    return true;
  }
  if (c < 0) return fail_peeked("EOF while parsing an object");
  return fail_peeked("expected `:`");
}

int Reader::next_element(bool& first) {
  int c = peek_ws();
  if (c < 0) return fail_peeked("EOF while parsing a list"), -1;
  if (c == ']') return 0;
  if (first) {
    first = false;
    return 1;
  }
  if (c != ',') return fail_peeked("expected `,` or `]`"), -1;
  ++p_;
  c = peek_ws();
  if (c == ']') return fail_peeked("trailing comma"), -1;
  if (c < 0) return fail_peeked("EOF while parsing a value"), -1;
  return 1;
}

bool Reader::end_object() {
  int c = peek_ws();
  if (c == '}') {
    ++p_;
    return true;
  }
  if (c == ',') return fail_peeked("trailing comma");
  if (c < 0) return fail_peeked("EOF while parsing an object");
  return fail_peeked("trailing characters");
}

bool Reader::end_array() {
  int c = peek_ws();
  if (c == ']') {
    ++p_;
    return true;
  }
  if (c == ',') {
    ++p_;
    if (peek_ws() == ']') return fail_peeked("trailing comma");
    return fail_peeked("trailing characters");
  }
  if (c < 0) return fail_peeked("EOF while parsing a list");
  return fail_peeked("trailing characters");
}

bool Reader::fail_in_object() {
  if (has_error_ && !positioned_) {
    if (peek_ws() == '}') ++p_;
    fix_position();
  }
  return false;
}

bool Reader::fail_in_array() {
  if (has_error_ && !positioned_) {
    int c = peek_ws();
    if (c == ']') {
      ++p_;
    } else if (c == ',') {
      ++p_;
      peek_ws();
    }
    fix_position();
  }
  return false;
}

bool Reader::invalid_type(Expected expected) {
  int c = p_ < end_ ? static_cast<unsigned char>(*p_) : -1;
  std::string found;
  switch (c) {
    case 'n':
      ++p_;
      if (!read_ident("ull")) return false;
      found = "null";
      break;
    case 't':
      ++p_;
      if (!read_ident("rue")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      ++p_;
      if (!read_ident("alse")) return false;
      found = "boolean `false`";
      break;
    case '"': {
      std::string_view s;
      if (!read_string(s)) return false;
      found = "string " + text::quoted(s);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default:
      if (c == '-' || (c >= '0' && c <= '9')) {
        Number n;
        if (!read_number(n)) return false;
        found = describe_number(n);
        break;
      }
      return fail_peeked("expected value");
  }
  fail_unpositioned(fmt::format("invalid type: {}, expected {}{}", found, expected.prefix, expected.name));
  fix_position();
  return false;
}

bool Reader::unknown_variant(std::string_view value, const std::string_view* names, size_t count) {
  if (count == 0) {
    fail_unpositioned(fmt::format("unknown variant `{}`, there are no variants", value));
  } else {
    fail_unpositioned(fmt::format("unknown variant `{}`, expected {}", value, one_of(names, count)));
  }
  fix_position();
  return false;
}

bool Reader::finish() {
  if (peek_ws() >= 0) return fail_peeked("trailing characters");
  return true;
}

}  // namespace zm::json
