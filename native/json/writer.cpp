#include "json/writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/number_text.h"

namespace zm::json {

namespace {

constexpr uint8_t kArray = 1;
constexpr uint8_t kHasMembers = 2;

// 0: byte written as is; 'u': \u00xx; otherwise the letter after the backslash.
constexpr auto kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  // One capacity check per string: room for the worst case (every byte as \u00xx) is
  // made first, the text is written through a pointer, and the length then set to what
  // was written.
  const size_t old = out.size();
  out.resize_and_overwrite(old + 2 + 6 * s.size(), [&](char* buf, size_t) {
    char* o = buf + old;
    *o++ = '"';
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;
    auto flush = [&](const char* upto) {
      std::memcpy(o, run, static_cast<size_t>(upto - run));
      o += upto - run;
    };
    for (; p < end; ++p) {
      // Eight bytes at a time while none needs escaping (a quote, a backslash or a byte
      // below 0x20); the word test is exact about whether such a byte is present, and
      // the byte step below then handles the first one.
      constexpr uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
      while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        const uint64_t q = w ^ (k01 * '"');
        const uint64_t b = w ^ (k01 * '\\');
        if ((((q - k01) & ~q) | ((b - k01) & ~b) | ((w - k01 * 0x20) & ~w)) & k80) break;
        p += 8;
      }
      if (p == end) break;
      const char e = kEscape[static_cast<unsigned char>(*p)];
      if (e == 0) continue;
      flush(p);
      *o++ = '\\';
      if (e == 'u') {
        static constexpr char hex[] = "0123456789abcdef";
        const auto c = static_cast<unsigned char>(*p);
        *o++ = 'u';
        *o++ = '0';
        *o++ = '0';
        *o++ = hex[c >> 4];
        *o++ = hex[c & 15];
      } else {
        *o++ = e;
      }
      run = p + 1;
    }
    flush(end);
    *o++ = '"';
    return static_cast<size_t>(o - buf);
  });
}

Writer::Writer(Style style, Absent absent, size_t reserve) : style_(style), absent_(absent) {
  out_.reserve(reserve);
}

void Writer::newline_indent() {
  out_.push_back('\n');
  out_.append(stack_.size() * 2, ' ');
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) return;
  uint8_t& top = stack_.back();
  if (top & kHasMembers) out_.push_back(',');
  top |= kHasMembers;
  if (style_ == Style::Pretty) newline_indent();
}

void Writer::key(std::string_view k) {
  if (!stack_.empty()) {
    uint8_t& top = stack_.back();
    if (top & kHasMembers) out_.push_back(',');
    top |= kHasMembers;
    if (style_ == Style::Pretty) newline_indent();
  }
  append_json_string(out_, k);
  if (style_ == Style::Pretty) {
    out_.append(": ");
  } else {
    out_.push_back(':');
  }
  after_key_ = true;
}

void Writer::begin_object() {
  before_value();
  out_.push_back('{');
  stack_.push_back(0);
}

void Writer::begin_array() {
  before_value();
  out_.push_back('[');
  stack_.push_back(kArray);
}

void Writer::end_object() {
  bool had = !stack_.empty() && (stack_.back() & kHasMembers);
  if (!stack_.empty()) stack_.pop_back();
  if (had && style_ == Style::Pretty) newline_indent();
  out_.push_back('}');
}

void Writer::end_array() {
  bool had = !stack_.empty() && (stack_.back() & kHasMembers);
  if (!stack_.empty()) stack_.pop_back();
  if (had && style_ == Style::Pretty) newline_indent();
  out_.push_back(']');
}

void Writer::string(std::string_view s) {
  before_value();
  append_json_string(out_, s);
}

void Writer::u64(uint64_t v) {
  before_value();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr);
}

void Writer::i64(int64_t v) {
  before_value();
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr);
}

void Writer::f64(double v) {
  before_value();
  if (!std::isfinite(v)) {
    out_.append("null");
    return;
  }
  append_float_text(out_, v);
}

void Writer::null() {
  before_value();
  out_.append("null");
}

void Writer::boolean(bool v) {
  before_value();
  out_.append(v ? "true" : "false");
}

void Writer::raw(std::string_view json) {
  before_value();
  out_.append(json);
}

void Writer::value(const Value& v) {
  switch (v.v.index()) {
    case 0:
      null();
      break;
    case 1:
      boolean(std::get<bool>(v.v));
      break;
    case 2:
      u64(std::get<uint64_t>(v.v));
      break;
    case 3:
      i64(std::get<int64_t>(v.v));
      break;
    case 4:
      f64(std::get<double>(v.v));
      break;
    case 5:
      string(std::get<std::string>(v.v));
      break;
    case 6:
      begin_array();
      for (const Value& e : std::get<Array>(v.v)) value(e);
      end_array();
      break;
    case 7:
      object(std::get<Object>(v.v));
      break;
  }
}

void Writer::object(const Object& obj) {
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  begin_object();
  if (std::is_sorted(obj.begin(), obj.end(), by_key)) {
    for (const auto& [k, m] : obj) {
      key(k);
      value(m);
    }
  } else {
    // Objects built by hand may be unordered; the output order is fixed regardless.
    std::vector<const std::pair<std::string, Value>*> order;
    order.reserve(obj.size());
    for (const auto& m : obj) order.push_back(&m);
    std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* m : order) {
      key(m->first);
      value(m->second);
    }
  }
  end_object();
}

}  // namespace zm::json
