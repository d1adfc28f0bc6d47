// Row-map lines: the fast path must never disagree with the strict decoder, the db_id set must behave as an exact-bytes
// set within its byte budget, and the streaming validator must not depend on where its input is cut into chunks.
#include <algorithm>
#include <cctype>
#include <memory>
#include <random>
#include <set>
#include <tuple>

#include "base/siphash.h"
#include "check.h"
#include "io/chunk_source.h"
#include "io/sha256.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/id_set.h"
#include "manifest/verify/row_identity.h"
#include "manifest/verify/row_line.h"

using namespace zm;

namespace {

std::string dashed(const std::string& h) {
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

std::string random_uuid(std::mt19937_64& rng, int form) {
  std::string hex;
  for (int i = 0; i < 32; ++i) hex += "0123456789abcdefABCDEF"[rng() % 22];
  if (form == 0) return hex;
  const std::string d = dashed(hex);
  return form == 1 ? d : form == 2 ? "{" + d + "}" : "urn:uuid:" + d;
}

// The common writers' forms (style 0 is canonical): parent_id absent (style & 1) or null / a string, compact or with a
// space after every ':' and ',' (style & 2, as Python's json.dumps writes).
std::string usual_line(uint64_t row_id, const std::string& db, const std::string* parent, int style) {
  const std::string colon = style & 2 ? ": " : ":", comma = style & 2 ? ", " : ",";
  std::string line = "{\"row_id\"" + colon + std::to_string(row_id) + comma + "\"db_id\"" + colon + "\"" + db + "\"";
  if (parent != nullptr || (style & 1) == 0) {
    line += comma + "\"parent_id\"" + colon + (parent ? "\"" + *parent + "\"" : std::string("null"));
  }
  return line + "}";
}

// Fast accept implies strict accept with the same record. Returns whether fast accepted.
bool agree(const std::string& line) {
  RowLineView fast;
  if (!decode_row_line_fast(line, fast)) return false;
  auto strict = decode_jsonl_row(line);
  CHECK_CTX(strict && fast.row_id == strict->row_id && fast.db_id == strict->db_id &&
                fast.has_parent == strict->parent_id.has_value() &&
                (!fast.has_parent || fast.parent_id == *strict->parent_id),
            "fast and strict decoders differ on " << line);
  return true;
}

}  // namespace

// Usual lines, in every form and style, are taken by the fast path exactly as the strict decoder takes them; mutated,
// they may be declined but never decoded differently.
TEST(row_line_fast_path_agrees_with_strict_decoder) {
  std::mt19937_64 rng(7);
  const uint64_t ids[] = {0, 1, 9, 10, 12345, 18446744073709551615ULL};
  const std::string alphabet =
      std::string("\"\\ \t\r\n{}[],:0123456789-+.eEnulaftr_idbp") + std::string(1, '\0') + "\x01\x7f\x80\xc3\xa9\xff";
  int fast_accepted = 0, strict_rejected = 0;
  for (int n = 0; n < 20000; ++n) {
    const uint64_t row_id = n < 6 ? ids[n] : rng() >> (rng() % 64);
    const std::string db = random_uuid(rng, static_cast<int>(rng() % 4)), parent = random_uuid(rng, rng() % 4);
    std::string line = usual_line(row_id, db, rng() % 2 ? &parent : nullptr, static_cast<int>(rng() % 4));
    CHECK(agree(line));
    for (int e = 0, edits = 1 + static_cast<int>(rng() % 3); e < edits && !line.empty(); ++e) {
      const size_t at = rng() % line.size();
      const uint64_t op = rng() % 5;
      if (op == 0) line.erase(at, 1);
      if (op == 1) line.insert(at, 1, alphabet[rng() % alphabet.size()]);
      if (op == 2) line[at] = alphabet[rng() % alphabet.size()];
      if (op == 3) line.resize(at);
      if (op == 4) line.insert(at, line.substr(at, rng() % 8));
    }
    if (!decode_jsonl_row(line)) ++strict_rejected;
    if (agree(line)) ++fast_accepted;
  }
  // Both sides must be exercised: many rejections, some mutated lines still in the fast form.
  CHECK(strict_rejected > 10000 && fast_accepted > 100);
  // Any printable ASCII except quote and backslash is taken in place, even if not a UUID.
  const std::string empty;
  CHECK(agree(usual_line(3, "not a uuid ~!@#$%^&*()", nullptr, 0)));
  CHECK(agree(usual_line(18446744073709551615ULL, "", &empty, 0)));  // largest row_id, empty parent
  CHECK(agree(" \t{ \"row_id\" :1 ,\"db_id\":\"a\"\t} "));
  // Lines the fast path does not decode exactly are left to the strict decoder.
  const char* declined[] = {
      R"({"row_id":01,"db_id":"a","parent_id":null})", R"({"row_id":-0,"db_id":"a","parent_id":null})",
      R"({"row_id":1.0,"db_id":"a","parent_id":null})", R"({"row_id":18446744073709551616,"db_id":"a"})",
      R"({"row_id":1,"db_id":"a\u0000","parent_id":null})", "{\"row_id\":1,\"db_id\":\"\xc3\xa9\",\"parent_id\":null}",
      R"({"row_id":1,"db_id":"a","parent_id":null}})", R"({"db_id":"a","row_id":1,"parent_id":null})",
      R"({"row_id":1,"db_id":"a","parent_id":"b")", "{\"row_id\":1,\"db_id\":\"a\t\",\"parent_id\":null}",
      R"({"row_id":1,"db_id":"a","parent_id":null,"x":1})", "[1,\"a\",null]", ""};
  for (const char* line : declined) {
    RowLineView v;
    CHECK_CTX(!decode_row_line_fast(line, v), "fast accepted " << line);
  }
}

// The reference vectors of SipHash-2-4 (key 00..0f, message 00..len-1 for len 0..16 and 63: every tail length, one and
// several blocks) check the rounds, the little-endian block loads and the length byte that the id set's SipHash-1-3
// shares.
TEST(siphash_reference_vectors) {
  const std::pair<size_t, uint64_t> vectors[] = {
      {0, 0x726fdb47dd0e0e31}, {1, 0x74f839c593dc67fd}, {2, 0x0d6c8009d9a94f5a}, {3, 0x85676696d7fb7e2d},
      {4, 0xcf2794e0277187b7}, {5, 0x18765564cd99a68d}, {6, 0xcbc9466e58fee3ce}, {7, 0xab0200f58b01d137},
      {8, 0x93f5f5799a932462}, {9, 0x9e0082df0ba9e4b0}, {10, 0x7a5dbbc594ddb9f3}, {11, 0xf4b32f46226bada7},
      {12, 0x751e8fbc860ee5fb}, {13, 0x14ea5627c0843d90}, {14, 0xf723ca908e7af2ee}, {15, 0xa129ca6149be45e5},
      {16, 0x3f2acc7f57c29bdb}, {63, 0x958a324ceb064572}};
  const SipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  unsigned char message[64];
  for (int i = 0; i < 64; ++i) message[i] = static_cast<unsigned char>(i);
  for (const auto& [len, hash] : vectors) CHECK_EQ((siphash<2, 4>(key, message, len)), hash);
}

TEST(id_set_exact_bytes_and_budget) {
  // Different bytes are no duplicate, empty ids are tracked too, 6 + 4 = 10 fits the budget exactly and one byte more
  // does not, and a duplicate is found when the budget is spent.
  using I = IdSet::Insert;
  const std::tuple<const char*, I, uint64_t> steps[] = {
      {"abc", I::Added, 3}, {"abc", I::Duplicate, 3}, {"ABC", I::Added, 6}, {"", I::Added, 6}, {"", I::Duplicate, 6},
      {"wxyzq", I::OverBudget, 6}, {"wxyz", I::Added, 10}, {"abc", I::Duplicate, 10},
      {"x", I::OverBudget, 10}};
  IdSet set;
  for (const auto& [id, result, bytes] : steps)
    CHECK_CTX(set.insert(id, 10) == result && set.tracked_bytes() == bytes, "\"" << id << "\"");
  CHECK(!set.contains("wxyzq") && IdSet().insert("x", 0) == I::OverBudget);
}

// UUIDs are stored as 16 bytes plus their form. Against an exact-bytes reference: UUIDs that differ in one digit, one
// letter's case (anywhere) or their text form, and near-UUIDs, must all stay distinct, and each must be found again.
TEST(id_set_agrees_with_exact_bytes_on_near_uuids) {
  std::mt19937_64 rng(5);
  std::vector<std::string> pool = {
      "0123abcd-4567-89ef-0123-456789abcdef",          "0123ABCD-4567-89EF-0123-456789ABCDEF",
      "0123abcd-4567-89ef-0123-456789abcdeF",          "0123abcd456789ef0123456789abcdef",
      "0123ABCD456789EF0123456789ABCDEF",              "{0123abcd-4567-89ef-0123-456789abcdef}",
      "{0123ABCD-4567-89EF-0123-456789ABCDEF}",        "urn:uuid:0123abcd-4567-89ef-0123-456789abcdef",
      "urn:uuid:0123ABCD-4567-89EF-0123-456789ABCDEF", "URN:UUID:0123abcd-4567-89ef-0123-456789abcdef",
      "01234567-0123-0123-0123-012345678901",          "01234567-0123-0123-0123-01234567890g",
      "01234567+0123-0123-0123-012345678901",          "[01234567-0123-0123-0123-012345678901]"};
  for (int b = 0; b < 40; ++b) {
    const bool upper = b % 2 == 1;
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 32; ++i) hex += digits[rng() % 16];
    std::vector<std::string> variants = {hex};
    for (int i = 0; i < 32; ++i) {
      std::string v = hex;
      v[i] = digits[(std::string_view(digits).find(v[i]) + 1 + rng() % 15) % 16];
      variants.push_back(v);
      if (std::isalpha(static_cast<unsigned char>(hex[i]))) {
        v = hex;
        v[i] = static_cast<char>(upper ? std::tolower(v[i]) : std::toupper(v[i]));
        variants.push_back(v);
      }
    }
    for (const auto& h : variants)
      pool.insert(pool.end(), {h, dashed(h), "{" + dashed(h) + "}", "urn:uuid:" + dashed(h)});
  }
  std::shuffle(pool.begin(), pool.end(), rng);
  IdSet set;
  std::set<std::string> reference;
  for (int round = 0; round < 2; ++round) {
    for (const auto& id : pool) {
      const bool fresh = reference.insert(id).second;
      CHECK(set.insert(id, ~uint64_t{0}) == (fresh ? IdSet::Insert::Added : IdSet::Insert::Duplicate));
    }
  }
  uint64_t bytes = 0;
  for (const auto& id : reference) bytes += id.size();
  CHECK(set.size() == reference.size() && set.tracked_bytes() == bytes);
  CHECK(!set.contains("0123abcd-4567-89ef-0123-456789abcdee") && !set.contains("0123Abcd-4567-89ef-0123-456789abcdef"));
}

// Growth from the smallest index, from a reserved size that is no power of two (a hint that fell short), and from a
// reservation that needs none.
TEST(id_set_survives_growth) {
  for (const uint64_t hint : {uint64_t{0}, uint64_t{5000}, uint64_t{300000}}) {
    IdSet set;
    set.reserve(hint);
    const uint64_t budget = ~uint64_t{0};
    for (int i = 0; i < 300000; ++i) CHECK(set.insert("id-" + std::to_string(i), budget) == IdSet::Insert::Added);
    CHECK_EQ(set.size(), uint64_t{300000});
    for (int i = 0; i < 300000; i += 7)
      CHECK(set.insert("id-" + std::to_string(i), budget) == IdSet::Insert::Duplicate);
    CHECK(!set.contains("id-300000") && !set.contains("id-"));
  }
}

namespace {

// Hands out `text` in chunks of `size` bytes, each in a fresh heap buffer of exactly that size (so ASan reports any
// read past a chunk or of a chunk already passed), and hashes what it handed out.
class FixedChunks final : public io::ChunkSource {
 public:
  FixedChunks(std::string_view text, size_t size) : text_(text), size_(size) {}
  Result<std::string_view> next() override {
    const size_t n = std::min(size_, text_.size() - pos_);
    if ((ended_ = n == 0)) return std::string_view();
    chunk_ = std::make_unique<char[]>(n);
    std::copy_n(text_.data() + pos_, n, chunk_.get());
    pos_ += n;
    sha_.update(chunk_.get(), n);
    return std::string_view(chunk_.get(), n);
  }
  std::string hex_digest() override { return ended_ ? sha_.hex_digest() : "digest asked before the end"; }

 private:
  std::string_view text_;
  size_t size_, pos_ = 0;
  bool ended_ = false;
  std::unique_ptr<char[]> chunk_;
  io::Sha256 sha_;
};

// One run over `text` cut into `chunk`-byte pieces, as text.
struct Streamed {
  std::string outcome, codes, issues;  // "completed lines=6 rows=5 sha=..."; the codes; "code: message" lines
  bool operator==(const Streamed&) const = default;
};

Streamed stream_rows(std::string_view text, size_t chunk, const ResourceLimits& limits, uint64_t expected) {
  FixedChunks source(text, chunk);
  std::vector<ReportIssue> issues;
  auto r = validate_jsonl_chunks(source, /*allow_duplicate_db_ids=*/false, limits, expected, issues);
  if (!r) return {"error: " + r.error().display(), "", ""};
  Streamed out{std::string(r->completed ? "completed" : "stopped") + " lines=" + std::to_string(r->line_count) +
               " rows=" + std::to_string(r->validated_rows) + " sha=" + r->sha256.value_or("-"), "", ""};
  for (const auto& i : issues) {
    out.codes += " " + i.code;
    out.issues += i.code + ": " + i.message + "\n";
  }
  return out;
}

}  // namespace

// Where the chunks end must not matter: a line split anywhere (inside a key, between "\r" and "\n", at the last byte)
// gives the same rows, issues and stop as one chunk.
TEST(row_stream_result_does_not_depend_on_chunk_boundaries) {
  const std::string u1 = "00000000-0000-0000-0000-000000000001", u2 = "00000000-0000-0000-0000-000000000002";
  const std::string rows = usual_line(0, u1, nullptr, 0) + "\n" +                              // fast path
                           "{ \"row_id\" : 1, \"db_id\" : \"" + u2 + "\" }\r\n" +              // strict, CRLF
                           "{\"row_id\":2,\"db_id\":\"" + u1 + "\",\"parent_id\":null}\n" +    // duplicate
                           "not json\n" +                                                      // invalid
                           usual_line(7, "00000000000000000000000000000004", &u2, 0) + "\n" +  // row_id mismatch
                           usual_line(5, "x", nullptr, 0);                                     // no final LF
  ResourceLimits limits, capped;
  limits.max_row_map_line_bytes = capped.max_row_map_line_bytes = 130;
  capped.max_report_issues = 2;  // the cap must not depend on chunks either
  const std::string too_long = rows.substr(0, rows.find("not json")) + std::string(130, ' ') + "\n" + rows;
  // More lines than the validator decodes ahead, in every form, stopping mid-chunk: the lines decoded past the stop
  // must leave no trace.
  std::string many;
  auto nth_uuid = [](int i) { return "00000000-0000-0000-0000-0000000000" + std::to_string(10 + i); };
  for (int i = 0; i < 40; ++i) {
    const std::string db = nth_uuid(i == 25 ? 3 : i), parent = nth_uuid(i + 50);
    if (i == 33) {
      many += std::string(130, ' ') + "\n";
    } else if (i == 12) {
      many += "{\"db_id\":\"" + db + "\",\"row_id\":12}\n";  // strict decoder
    } else {
      many += usual_line(i, db, i % 3 == 0 ? &parent : nullptr, i % 4) + (i % 5 == 0 ? "\r\n" : "\n");
    }
  }
  const std::string dup = " row_identity_duplicate_db_id", too_large = " row_identity_line_too_large";
  const struct {
    std::string text, outcome, codes;
    uint64_t expected_rows;
  } cases[] = {
      {rows, "completed lines=6 rows=5",
       dup + " row_identity_jsonl_invalid_json row_identity_row_id_mismatch row_identity_db_id_invalid_uuid", 6},
      {too_long, "stopped lines=4 rows=3", dup + too_large, 6}, {many, "stopped lines=34 rows=33", dup + too_large, 40},
  };
  for (const auto& c : cases) {
    const Streamed whole = stream_rows(c.text, c.text.size() + 1, limits, c.expected_rows);
    CHECK_EQ(whole.outcome, c.outcome + " sha=" + (c.outcome.starts_with("completed") ? io::sha256_hex(c.text) : "-"));
    CHECK_EQ(whole.codes, c.codes);
    const Streamed whole_capped = stream_rows(c.text, c.text.size() + 1, capped, c.expected_rows);
    CHECK_EQ(whole_capped.codes,
             c.codes == dup + too_large ? c.codes : dup + " verification_report_issue_limit_exceeded");
    for (size_t chunk = 1; chunk <= c.text.size(); ++chunk) {
      CHECK_CTX(stream_rows(c.text, chunk, limits, c.expected_rows) == whole, "chunks of " << chunk << " bytes");
      CHECK_CTX(stream_rows(c.text, chunk, capped, c.expected_rows) == whole_capped, "capped, chunks of " << chunk);
    }
  }
}
