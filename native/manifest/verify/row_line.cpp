#include "manifest/verify/row_line.h"

#include <bit>
#include <cstring>

#include <fmt/format.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/uuid.h"

namespace zm {

namespace {

// Consumes the literal `lit` at `p`; false when the bytes differ. The length is a
// constant, so the comparison compiles to a few loads.
template <size_t N>
inline bool take(std::string_view line, size_t& p, const char (&lit)[N]) {
  constexpr size_t n = N - 1;
  if (line.size() - p < n || std::memcmp(line.data() + p, lit, n) != 0) return false;
  p += n;
  return true;
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// 0x80 in the byte of `w` (first byte lowest) that is '"', '\', below 0x20 or above 0x7E,
// and possibly in later bytes: the lowest flag always marks the first such byte (a
// borrow or carry only runs upwards from a byte that is flagged itself).
inline uint64_t special_bytes(uint64_t w) {
  const uint64_t quote = w ^ (kOnes * '"'), backslash = w ^ (kOnes * '\\');
  const uint64_t zero_quote = (quote - kOnes) & ~quote;
  const uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
  const uint64_t control = (w - kOnes * 0x20) & ~w;
  const uint64_t high = (w + kOnes * (127 - 0x7E)) | w;
  return (zero_quote | zero_backslash | control | high) & kHighs;
}

inline uint64_t load_le64(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return std::endian::native == std::endian::little ? w : __builtin_bswap64(w);
}

// Skips spaces and tabs, the JSON white space a line can hold besides a carriage return.
inline void skip_space(std::string_view line, size_t& p) {
  while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
}

// Canonical decimal u64: "0" or [1-9][0-9]*, no overflow.
inline bool take_u64(std::string_view line, size_t& p, uint64_t& out) {
  size_t start = p;
  uint64_t v = 0;
  // Up to eight digits at once when eight bytes are there: the digits before the first
  // other byte, moved to the top of the word and joined pairwise, by fours, then all.
  if (line.size() - p >= 8) {
    const uint64_t digits = load_le64(line.data() + p) - kOnes * '0';
    // 0x80 in each byte that is no digit (below '0' it wrapped to 0xD0 or more, above '9' it is 10 or more).
    const uint64_t other = (digits | (digits + kOnes * (0x80 - 10))) & kHighs;
    const size_t n = other == 0 ? 8 : static_cast<size_t>(std::countr_zero(other)) / 8;
    if (n == 0) return false;
    if (digits % 256 == 0 && n > 1) return false;  // leading zero
    uint64_t x = n == 8 ? digits : digits << (8 * (8 - n));
    x = ((x * 10) + (x >> 8)) & 0x00FF00FF00FF00FFULL;
    x = ((x * 100) + (x >> 16)) & 0x0000FFFF0000FFFFULL;
    v = ((x * 10000) + (x >> 32)) & 0xFFFFFFFFULL;
    p += n;
    if (n < 8) {
      out = v;
      return true;
    }
  }
  while (p < line.size()) {
    unsigned d = static_cast<unsigned char>(line[p]) - '0';
    if (d > 9) break;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, d, &v)) return false;
    ++p;
  }
  if (p == start) return false;
  if (line[start] == '0' && p - start > 1) return false;  // leading zero
  out = v;
  return true;
}

// A string body after its opening quote, up to and including the closing quote. Only
// printable ASCII other than '\' is taken, so no escape or UTF-8 rule can apply.
inline bool take_plain_string(std::string_view line, size_t& p, std::string_view& out) {
  size_t start = p;
#if defined(__SSE2__)
  // Sixteen bytes at a time while they last: flagged are '"', '\\', 0x7F, and every byte
  // below 0x20 as a signed compare sees it (so 0x80 and above as well).
  auto special_mask = [](const char* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i quote_or_backslash =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    const __m128i outside =
        _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(quote_or_backslash, outside)));
  };
  while (line.size() - p >= 16) {
    const unsigned special = special_mask(line.data() + p);
    if (special == 0) {
      p += 16;
      continue;
    }
    p += static_cast<size_t>(std::countr_zero(special));
    if (line[p] != '"') return false;
    out = line.substr(start, p - start);
    ++p;
    return true;
  }
  // The last 1 to 15 bytes: the line's last sixteen with the bytes already seen dropped.
  if (line.size() >= 16 && p < line.size()) {
    const size_t left = line.size() - p;
    const unsigned special = special_mask(line.data() + line.size() - 16) >> (16 - left);
    if (special == 0) return false;
    p += static_cast<size_t>(std::countr_zero(special));
    if (line[p] != '"') return false;
    out = line.substr(start, p - start);
    ++p;
    return true;
  }
#endif
  // Eight bytes at a time: the first byte that can end or spoil the string decides. The
  // last 1 to 7 bytes are read as the line's last eight with the bytes already seen
  // shifted out; the zero bytes shifted in are flagged after every real byte.
  while (p < line.size() && line.size() >= 8) {
    const size_t left = line.size() - p;
    const uint64_t w =
        left >= 8 ? load_le64(line.data() + p) : load_le64(line.data() + line.size() - 8) >> (8 * (8 - left));
    const uint64_t special = special_bytes(w);
    if (special == 0) {
      p += 8;
      continue;
    }
    const size_t at = static_cast<size_t>(std::countr_zero(special)) / 8;
    if (at >= left || line[p + at] != '"') return false;
    out = line.substr(start, p + at - start);
    p += at + 1;
    return true;
  }
  while (p < line.size()) {
    unsigned char c = static_cast<unsigned char>(line[p]);
    if (c == '"') {
      out = line.substr(start, p - start);
      ++p;
      return true;
    }
    if (c < 0x20 || c > 0x7E || c == '\\') return false;
    ++p;
  }
  return false;
}

// `lit` at `line[p]` with nothing after it.
template <size_t N>
inline bool ends_with_at(std::string_view line, size_t p, const char (&lit)[N]) {
  return line.size() - p == N - 1 && std::memcmp(line.data() + p, lit, N - 1) == 0;
}

// The compact layout most writers produce (no white space), matched with fixed-size
// compares. Accepts a subset of what the token walk accepts, with the same record.
inline bool decode_compact(std::string_view line, RowLineView& out) {
  size_t p = 0;
  if (!take(line, p, "{\"row_id\":") || !take_u64(line, p, out.row_id) || !take(line, p, ",\"db_id\":\"") ||
      !take_plain_string(line, p, out.db_id)) {
    return false;
  }
  out.has_parent = false;
  out.parent_id = {};
  if (ends_with_at(line, p, "}") || ends_with_at(line, p, ",\"parent_id\":null}")) return true;
  if (!take(line, p, ",\"parent_id\":\"") || !take_plain_string(line, p, out.parent_id)) return false;
  out.has_parent = true;
  return ends_with_at(line, p, "}");
}

}  // namespace

bool decode_row_line_fast(std::string_view line, RowLineView& out) {
  if (decode_compact(line, out)) return true;
  size_t p = 0;
  // The next token after optional white space.
  auto token = [&]<size_t N>(const char (&lit)[N]) {
    skip_space(line, p);
    return take(line, p, lit);
  };
  if (!token("{") || !token("\"row_id\"") || !token(":")) return false;
  skip_space(line, p);
  if (!take_u64(line, p, out.row_id)) return false;
  if (!token(",") || !token("\"db_id\"") || !token(":") || !token("\"") || !take_plain_string(line, p, out.db_id)) {
    return false;
  }
  out.has_parent = false;
  out.parent_id = {};
  if (!token("}")) {
    if (!take(line, p, ",") || !token("\"parent_id\"") || !token(":")) return false;
    if (!token("null")) {
      if (!take(line, p, "\"") || !take_plain_string(line, p, out.parent_id)) return false;
      out.has_parent = true;
    }
    if (!token("}")) return false;
  }
  skip_space(line, p);
  return p == line.size();
}

RowIdFault row_id_string_fault(std::string_view value) {
  if (value.empty()) return RowIdFault::Empty;
  if (std::memchr(value.data(), 0, value.size()) != nullptr) return RowIdFault::ContainsNul;
  if (!text::is_uuid_text(value)) return RowIdFault::InvalidUuid;
  return RowIdFault::None;
}

std::string row_id_fault_code(RowIdFault fault, std::string_view key) {
  switch (fault) {
    case RowIdFault::Empty:
      return fmt::format("row_identity_{}_empty", key);
    case RowIdFault::ContainsNul:
      return fmt::format("row_identity_{}_contains_nul", key);
    default:
      return fmt::format("row_identity_{}_invalid_uuid", key);
  }
}

std::string row_id_fault_message(RowIdFault fault, std::string_view key, uint64_t line_index) {
  switch (fault) {
    case RowIdFault::Empty:
      return fmt::format("line {} has empty {}", line_index, key);
    case RowIdFault::ContainsNul:
      return fmt::format("line {} {} contains NUL", line_index, key);
    default:
      return fmt::format("line {} {} must be a UUID in v1", line_index, key);
  }
}

void validate_row_id_string(std::string_view key, std::string_view value, uint64_t line_index,
                            uint64_t max_report_issues, std::vector<ReportIssue>& issues) {
  RowIdFault fault = row_id_string_fault(value);
  if (fault == RowIdFault::None) return;
  push_report_issue_bounded(issues, max_report_issues, row_id_fault_code(fault, key),
                            row_id_fault_message(fault, key, line_index));
}

}  // namespace zm
