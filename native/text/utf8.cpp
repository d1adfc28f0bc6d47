#include "text/utf8.h"

namespace zm::text {

namespace {
// Number of bytes of s starting at i that form a valid prefix of some UTF-8 sequence
// (the "maximal subpart"), at least 1.
size_t invalid_subpart_length(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  size_t k = 1;
  for (; k <= need && i + k < s.size(); ++k) {
    unsigned char t = b(i + k);
    unsigned char l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
    if (t < l || t > h) break;
  }
  return k;
}
}  // namespace

size_t utf8_sequence_length(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + need >= s.size()) return 0;
  for (size_t k = 1; k <= need; ++k) {
    unsigned char t = b(i + k);
    unsigned char l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
    if (t < l || t > h) return 0;
  }
  return need + 1;
}

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = utf8_sequence_length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string lossy_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      out.push_back(s[i++]);
      continue;
    }
    size_t n = utf8_sequence_length(s, i);
    if (n != 0) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += invalid_subpart_length(s, i);
    }
  }
  return out;
}

}  // namespace zm::text
