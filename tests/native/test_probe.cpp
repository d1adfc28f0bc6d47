// Index-file probe and persisted-format registry: every rule at its boundary, every message exactly, files built byte
// by byte from the header layouts.
#include <cerrno>
#include <expected>
#include <optional>
#include <utility>

#include "check.h"
#include "index_format/format.h"
#include "index_format/rank_io.h"
#include "manifest/schema/index_kind.h"

using namespace zm::index_format;

namespace {

using Bytes = std::string;

Bytes le(uint64_t v, int n) {
  Bytes b(n, '\0');
  for (int i = 0; i < n; ++i) b[i] = static_cast<char>(v >> (8 * i));
  return b;
}
Bytes zkr(uint32_t dim, uint32_t n, const char* magic = "ZKR1", uint8_t version = 1) {
  return Bytes(magic, 4) + le(version, 1) + le(dim, 4) + le(n, 4);
}
Bytes zkrq(uint8_t bits, uint32_t dim, uint32_t n, const char* magic = "ZKRQ", uint8_t version = 1) {
  return Bytes(magic, 4) + le(version, 1) + le(bits, 1) + le(dim, 4) + le(n, 4);
}
Bytes zkbm(uint32_t dim, uint32_t n_top, uint32_t n, const char* magic = "ZKBM", uint8_t version = 1) {
  return Bytes(magic, 4) + le(version, 1) + le(dim, 4) + le(n_top, 4) + le(n, 4);
}
Bytes zksb(uint32_t dim, uint32_t n, const char* magic = "ZKSB", uint8_t version = 1) {
  return Bytes(magic, 4) + le(version, 1) + le(dim, 4) + le(n, 4);
}
Bytes with_payload(Bytes header, size_t payload) {
  return header + Bytes(payload, '\xA5');
}

// Each content, probed as a whole file, fails with exactly its message: an Io error without an OS error number.
void expect_errors(const std::vector<std::pair<Bytes, std::string>>& cases) {
  zmtest::TempDir tmp;
  for (const auto& [content, message] : cases) {
    auto r = probe_index_file(tmp.write(content));
    CHECK_EQ(r ? std::string("<probe succeeded>") : r.error().text(), message);
    CHECK(!r && r.error().kind() == zm::ManifestError::Kind::Io && r.error().os_error() == 0);
  }
}

const std::string kFastscanNote =
    "ZKFS (RankQuantFastscan) metadata probing is not supported in this version; load the index with "
    "RankQuantFastscan::load (tracked in #232)";
const std::string kFastscanCoverage =
    "RankQuantFastscan (.zkfs) is not covered by zarnik-manifest v1 (tracked in #232)";

}  // namespace

TEST(probe_magic_version_and_truncation) {
  const Bytes r = zkr(2, 1), q = zkrq(2, 8, 1), b = zkbm(128, 5, 1), s = zksb(64, 1);
  expect_errors({
      {"", "zarnik index header truncated while reading magic"},
      {"ABCD" + Bytes(20, '\0'), "unknown zarnik index magic"},
      {"YQFS" + Bytes(9, '\0'), "unknown zarnik index magic"},  // fastscan has no legacy magic
      {"ZKFS" + Bytes(64, '\x01'), kFastscanNote}, {zkr(2, 0, "ZKR1", 0), "unsupported ZKR1 version: 0"},
      {zkr(2, 0, "YQR1", 255), "unsupported ZKR1 version: 255"},
      {zkrq(2, 8, 0, "YQRQ", 2), "unsupported ZKRQ version: 2"},
      {zkbm(64, 1, 0, "ZKBM", 7), "unsupported ZKBM version: 7"},
      {zksb(64, 0, "YQSB", 0), "unsupported ZKSB version: 0"},
      {r.substr(0, 4), "ZKR1 header truncated while reading version"},
      {r.substr(0, 12), "ZKR1 header truncated while reading n_vectors"},
      {q.substr(0, 5), "ZKRQ header truncated while reading bits"},
      {q.substr(0, 13), "ZKRQ header truncated while reading n_vectors"},
      {b.substr(0, 5), "ZKBM header truncated while reading dim"},
      {b.substr(0, 11), "ZKBM header truncated while reading n_top"},
      {s.substr(0, 9), "ZKSB header truncated while reading n_vectors"},
      // A field is checked before the next one is read: a bad field in a cut header reports the field, not the
      // truncation.
      {zkrq(3, 8, 1).substr(0, 6), "unsupported ZKRQ bits: 3 (expected 1, 2, or 4)"},
      {zkr(1, 1).substr(0, 9), "dim 1 out of range [2, 65535]"},
      {zkbm(128, 128, 1).substr(0, 13), "ZKBM n_top 128 must satisfy 0 < n_top < dim (128)"},
  });
}

TEST(probe_kind_rules) {
  expect_errors({
      {zkr(1, 0), "dim 1 out of range [2, 65535]"}, {zkr(65536, 0), "dim 65536 out of range [2, 65535]"},
      {zkr(2, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"},
      {zkr(2, 0) + "x", "ZKR1 payload has trailing bytes: header declares 0 B but file has 1 B remaining"},
      // MAX_PAYLOAD itself is allowed; one step above is not.
      {zkr(1024, 67108864), "ZKR1 payload truncated: header declares 137438953472 B but file has 0 B remaining"},
      {zkr(1026, 67108864), "payload 137707388928 B exceeds MAX_PAYLOAD=137438953472"},
      {zkrq(0, 8, 0), "unsupported ZKRQ bits: 0 (expected 1, 2, or 4)"},
      {zkrq(5, 32, 0), "unsupported ZKRQ bits: 5 (expected 1, 2, or 4)"},
      {zkrq(4, 8, 0), "ZKRQ dim 8 is not a multiple of 2^bits = 16; constant-composition invariant violated"},
      {zkrq(1, 12, 0), "ZKRQ dim 12 is not a multiple of codes_per_byte = 8"},
      {zkrq(4, 65520, 67108864), "payload 2198486384640 B exceeds MAX_PAYLOAD=137438953472"},
      {with_payload(zkrq(4, 16, 2), 15), "ZKRQ payload truncated: header declares 16 B but file has 15 B remaining"},
      {with_payload(zkrq(2, 4, 1, "YQRQ"), 2),  // a legacy magic is named by its current one
       "ZKRQ payload has trailing bytes: header declares 1 B but file has 2 B remaining"},
      {zkbm(100, 1, 0), "ZKBM dim 100 is not a multiple of 64"},
      {zkbm(128, 0, 0), "ZKBM n_top 0 must satisfy 0 < n_top < dim (128)"},
      {zkbm(128, 128, 0), "ZKBM n_top 128 must satisfy 0 < n_top < dim (128)"},
      {zkbm(65472, 1, 67108864), "payload 549218942976 B exceeds MAX_PAYLOAD=137438953472"},
      {with_payload(zkbm(64, 1, 2), 15), "ZKBM payload truncated: header declares 16 B but file has 15 B remaining"},
      {zksb(63, 0), "ZKSB dim 63 out of range [64, 16777216]"},
      {zksb(16777217, 0), "ZKSB dim 16777217 out of range [64, 16777216]"},
      {zksb(96, 0), "ZKSB dim 96 is not a multiple of 64"},
      {zksb(16384, 67108864), "ZKSB payload truncated: header declares 137438953472 B but file has 0 B remaining"},
      {zksb(16448, 67108864), "payload 137975824384 B exceeds MAX_PAYLOAD=137438953472"},
      // One byte past a payload bigger than the 8 KiB buffer is still seen.
      {with_payload(zksb(64, 2048), 16385),
       "ZKSB payload has trailing bytes: header declares 16384 B but file has 16385 B remaining"},
      {with_payload(zksb(64, 2048), 8179),
       "ZKSB payload truncated: header declares 16384 B but file has 8179 B remaining"},
  });
}

TEST(probe_success_metadata) {
  struct Case {
    Bytes content;
    uint64_t hole;
    IndexKind kind;
    std::string params;
    uint64_t dim, n_vectors, bytes_per_vec, file_size;
  };
  const Case cases[] = {
      {with_payload(zkr(3, 2, "YQR1"), 12), 0, IndexKind::Rank, "Rank", 3, 2, 6, 25},
      {with_payload(zkr(65535, 1), 131070), 0, IndexKind::Rank, "Rank", 65535, 1, 131070, 131083},
      {with_payload(zkrq(1, 8, 3), 3), 0, IndexKind::RankQuant, "RankQuant { bits: 1 }", 8, 3, 1, 17},
      {with_payload(zkrq(4, 16, 2, "YQRQ"), 16), 0, IndexKind::RankQuant, "RankQuant { bits: 4 }", 16, 2, 8, 30},
      {with_payload(zkbm(128, 127, 2), 32), 0, IndexKind::Bitmap, "Bitmap { n_top: 127 }", 128, 2, 16, 49},
      {with_payload(zksb(64, 1), 8), 0, IndexKind::SignBitmap, "SignBitmap", 64, 1, 8, 21},
      {zksb(16777216, 0), 0, IndexKind::SignBitmap, "SignBitmap", 16777216, 0, 2097152, 13},
      // Payloads far beyond the 8 KiB buffer: the remaining count must subtract the bytes still buffered, and the
      // payload itself is never read (sparse holes).
      {with_payload(zksb(64, 2048), 16384), 0, IndexKind::SignBitmap, "SignBitmap", 64, 2048, 8, 16397},
      {zkr(2, 67108864), 268435456, IndexKind::Rank, "Rank", 2, 67108864, 4, 268435469},
  };
  zmtest::TempDir tmp;
  for (const auto& c : cases) {
    auto r = probe_index_file(tmp.write(c.content, c.hole));
    CHECK_EQ(r ? params_debug_text(r->params) : r.error().text(), c.params);
    if (!r) continue;
    CHECK(r->kind == c.kind && r->format_version == 1);
    CHECK(r->dim == c.dim && r->n_vectors == c.n_vectors && r->bytes_per_vec == c.bytes_per_vec);
    CHECK_EQ(r->file_size_bytes, c.file_size);
  }
}

TEST(probe_open_file_entry_and_os_errors) {
  zmtest::TempDir tmp;
  auto file = zm::io::File::open_read(tmp.write(with_payload(zkrq(2, 8, 3), 6)));
  CHECK(file.has_value());
  if (!file) return;
  auto r = probe_index_open_file(*file, 20);
  CHECK(r && r->kind == IndexKind::RankQuant && r->file_size_bytes == 20);
  CHECK(file->is_open());  // left open for the caller: creation hashes through the same descriptor
  auto probe_open = [&](const Bytes& content, uint64_t size) {
    auto f = zm::io::File::open_read(tmp.write(content));
    return f ? probe_index_open_file(*f, size) : zm::Result<IndexMetadata>(std::unexpected(f.error()));
  };
  // A size smaller than the header leaves nothing remaining (never a negative count).
  auto small = probe_open(zkr(2, 0), 5);
  CHECK(small && small->file_size_bytes == 5);
  auto big = probe_open(zkr(2, 1), 5);
  CHECK_EQ(big ? "" : big.error().text(), "ZKR1 payload truncated: header declares 4 B but file has 0 B remaining");
  // OS errors pass through with their number and text.
  auto missing = probe_index_file(tmp.path + "/does-not-exist.zkr");
  CHECK(!missing && missing.error().os_error() == ENOENT);
  if (!missing) CHECK_EQ(missing.error().text(), "No such file or directory (os error 2)");
  auto dir = probe_index_file(tmp.path);
  CHECK(!dir && dir.error().os_error() == EISDIR);
  if (!dir) CHECK_EQ(dir.error().text(), "Is a directory (os error 21)");
}

TEST(probe_payload_overflow_paths) {
  using detail::bit_payload;
  using detail::rankquant_payload;
  const uint64_t max = UINT64_MAX, one = 1;
  const std::pair<zm::Result<detail::PayloadShape>, std::string> cases[] = {  // the error, or the payload size
      {rankquant_payload(max / 4 + 1, 4, 1), "ZKRQ bytes_per_vec overflows usize"},
      {rankquant_payload(max / 4, 4, 0), "0"},
      {rankquant_payload(one << 40, 8, one << 24), "ZKRQ payload size overflows usize"},
      {rankquant_payload(one << 40, 8, (one << 24) - 1), std::to_string(((one << 24) - 1) << 40)},
      {bit_payload("ZKBM", max, max), "ZKBM payload size overflows usize"},
      {bit_payload("ZKSB", one << 63, 16), "ZKSB payload size overflows usize"},
      {bit_payload("ZKSB", one << 63, 15), std::to_string(uint64_t{15} << 60)},
      {detail::rank_payload(max / 2 + 1, 1), "ZKR1 payload size overflows usize"},
  };
  for (const auto& [got, want] : cases) CHECK_EQ(got ? std::to_string(got->payload) : got.error().text(), want);
}

TEST(registry_kind_names_and_unsupported_messages) {
  const PersistedFormat* legacy_sb = lookup_magic(magic_value("YQSB"));
  CHECK(legacy_sb && legacy_sb->kind == IndexKind::SignBitmap);
  CHECK(!lookup_magic(magic_value("ZKR2")));
  CHECK_EQ(magic_value("ZKR1"), uint32_t{0x31524B5A});
  // The fastscan entry carries the notes the probe and the coverage check quote.
  auto formats = persisted_formats();
  CHECK_EQ(formats.size(), size_t{5});
  CHECK(formats[4].probe_note && formats[4].probe_note->text == kFastscanNote);
  CHECK(formats[4].manifest_coverage_note && formats[4].manifest_coverage_note->text == kFastscanCoverage);
  CHECK(!formats[4].legacy_magic);
  CHECK_EQ(index_kind_name(IndexKind::RankQuantFastscan), std::string_view("RankQuantFastscan"));
  CHECK_EQ(metadata_kind_name(IndexKind::RankQuantFastscan), std::string("rank_quant_fastscan"));
  CHECK_EQ(params_debug_text(BitmapParams{4294967295u}), "Bitmap { n_top: 4294967295 }");

  using U = UnsupportedCoreMetadata;
  auto fs = zm::try_from_core(IndexKind::RankQuantFastscan);
  CHECK(!fs && fs.error().form() == U::Form::NotCovered);
  if (!fs)
    CHECK_EQ(fs.error().message(),
             "artifact metadata kind RankQuantFastscan is not covered by zarnik-manifest v1: " + kFastscanCoverage);
  CHECK_EQ(U::kind_not_supported(IndexKind::SignBitmap).message(),
           "artifact metadata kind SignBitmap is not supported by zarnik-manifest v1");
  CHECK_EQ(U::params_not_supported(RankQuantFastscanParams{2}).message(),
           "artifact metadata params RankQuantFastscan { bits: 2 } are not supported by zarnik-manifest v1");
  CHECK_EQ(U::no_registry_entry(IndexKind::Bitmap).message(),
           "artifact metadata kind Bitmap has no zarnik persisted-format registry entry");
  auto fsp = zm::try_params_from_core(RankQuantFastscanParams{4});
  CHECK(!fsp && fsp.error().form() == U::Form::ParamsNotSupported);
  if (!fsp)
    CHECK_EQ(fsp.error().message(),
             "artifact metadata params RankQuantFastscan { bits: 4 } are not supported by zarnik-manifest v1");
}
