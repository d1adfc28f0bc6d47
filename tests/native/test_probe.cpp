// Index-file probe and persisted-format registry: every rule at its boundary, every
// message exactly, files built byte by byte from the header layouts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "index_format/format.h"
#include "index_format/rank_io.h"
#include "manifest/schema/index_kind.h"

using namespace zm::index_format;

namespace {

using Bytes = std::string;

Bytes u32le(uint32_t v) {
  Bytes b(4, '\0');
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  return b;
}
Bytes u8(uint8_t v) {
  return Bytes(1, static_cast<char>(v));
}

Bytes zkr(uint32_t dim, uint32_t n, const char* magic = "ZKR1", uint8_t version = 1) {
  return Bytes(magic, 4) + u8(version) + u32le(dim) + u32le(n);
}
Bytes zkrq(uint8_t bits, uint32_t dim, uint32_t n, const char* magic = "ZKRQ", uint8_t version = 1) {
  return Bytes(magic, 4) + u8(version) + u8(bits) + u32le(dim) + u32le(n);
}
Bytes zkbm(uint32_t dim, uint32_t n_top, uint32_t n, const char* magic = "ZKBM", uint8_t version = 1) {
  return Bytes(magic, 4) + u8(version) + u32le(dim) + u32le(n_top) + u32le(n);
}
Bytes zksb(uint32_t dim, uint32_t n, const char* magic = "ZKSB", uint8_t version = 1) {
  return Bytes(magic, 4) + u8(version) + u32le(dim) + u32le(n);
}
Bytes with_payload(Bytes header, size_t payload) {
  return header + Bytes(payload, '\xA5');
}
Bytes cut(const Bytes& b, size_t n) {
  return b.substr(0, n);
}

// A private temporary directory, removed with its files at exit of the test.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zm_probe_XXXXXX";
    const char* d = mkdtemp(tmpl);
    dir_ = d ? d : "/tmp";
  }
  ~TempDir() {
    for (const auto& f : files_) ::unlink(f.c_str());
    ::rmdir(dir_.c_str());
  }
  // Writes `content` to a fresh mkstemp file; `sparse_extra` zero bytes are appended as
  // a hole (ftruncate), so huge payloads cost no disk.
  std::string write(const Bytes& content, uint64_t sparse_extra = 0) {
    std::string tmpl = dir_ + "/idx_XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) return {};
    files_.push_back(tmpl);
    bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
              ::ftruncate(fd, static_cast<off_t>(content.size() + sparse_extra)) == 0;
    ::close(fd);
    return ok ? tmpl : std::string();
  }
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

struct ErrorCase {
  const char* name;
  Bytes content;
  std::string message;
};

void run_error_cases(const std::vector<ErrorCase>& cases) {
  TempDir tmp;
  for (const auto& c : cases) {
    auto r = probe_index_file(tmp.write(c.content));
    const std::string got = r ? "<probe succeeded>" : r.error().text();
    if (got != c.message) {
      ++zmtest::failures();
      std::cerr << "case " << c.name << "\n  got:      " << got << "\n  expected: " << c.message << "\n";
    }
    // Probe texts are Io errors without an OS error number.
    CHECK(!r && r.error().kind() == zm::ManifestError::Kind::Io && r.error().os_error() == 0);
  }
}

const std::string kFastscanNote =
    "ZKFS (RankQuantFastscan) metadata probing is not supported in this version; load the index with "
    "RankQuantFastscan::load (tracked in #232)";
const std::string kFastscanCoverage =
    "RankQuantFastscan (.zkfs) is not covered by zarnik-manifest v1 (tracked in #232)";

}  // namespace

TEST(probe_magic_and_registry_errors) {
  run_error_cases({
      {"empty file", "", "zarnik index header truncated while reading magic"},
      {"unknown magic", "ABCD" + Bytes(20, '\0'), "unknown zarnik index magic"},
      {"fastscan has no legacy", "YQFS" + Bytes(9, '\0'), "unknown zarnik index magic"},
      {"fastscan", "ZKFS" + Bytes(64, '\x01'), kFastscanNote},
      {"ZKR1 version 0", zkr(2, 0, "ZKR1", 0), "unsupported ZKR1 version: 0"},
      {"legacy version 255", zkr(2, 0, "YQR1", 255), "unsupported ZKR1 version: 255"},
      {"ZKRQ version", zkrq(2, 8, 0, "YQRQ", 2), "unsupported ZKRQ version: 2"},
      {"ZKBM version", zkbm(64, 1, 0, "ZKBM", 7), "unsupported ZKBM version: 7"},
      {"ZKSB version", zksb(64, 0, "YQSB", 0), "unsupported ZKSB version: 0"},
  });
}

TEST(probe_truncation_inside_each_field) {
  const Bytes r = zkr(2, 1);
  const Bytes q = zkrq(2, 8, 1);
  const Bytes b = zkbm(128, 5, 1);
  const Bytes s = zksb(64, 1);
  run_error_cases({
      {"ZKR1 version", cut(r, 4), "ZKR1 header truncated while reading version"},
      {"ZKR1 n_vectors", cut(r, 12), "ZKR1 header truncated while reading n_vectors"},
      {"ZKRQ bits", cut(q, 5), "ZKRQ header truncated while reading bits"},
      {"ZKRQ n_vectors", cut(q, 13), "ZKRQ header truncated while reading n_vectors"},
      {"ZKBM dim", cut(b, 5), "ZKBM header truncated while reading dim"},
      {"ZKBM n_top", cut(b, 11), "ZKBM header truncated while reading n_top"},
      {"ZKSB n_vectors", cut(s, 9), "ZKSB header truncated while reading n_vectors"},
      // A field is checked before the next one is read: a bad field in a cut header
      // reports the field, not the truncation.
      {"ZKRQ bits 3 then cut", cut(zkrq(3, 8, 1), 6), "unsupported ZKRQ bits: 3 (expected 1, 2, or 4)"},
      {"ZKR1 bad dim then cut", cut(zkr(1, 1), 9), "dim 1 out of range [2, 65535]"},
      {"ZKBM bad n_top then cut", cut(zkbm(128, 128, 1), 13), "ZKBM n_top 128 must satisfy 0 < n_top < dim (128)"},
  });
}

TEST(probe_rank_rules) {
  run_error_cases({
      {"dim 1", zkr(1, 0), "dim 1 out of range [2, 65535]"},
      {"dim 65536", zkr(65536, 0), "dim 65536 out of range [2, 65535]"},
      {"n_vectors limit+1", zkr(2, 67108865), "n_vectors 67108865 exceeds MAX_VECTORS=67108864"},
      {"one trailing byte", zkr(2, 0) + "x",
       "ZKR1 payload has trailing bytes: header declares 0 B but file has 1 B remaining"},
      // MAX_PAYLOAD itself is allowed; one step above is not.
      {"at MAX_PAYLOAD", zkr(1024, 67108864),
       "ZKR1 payload truncated: header declares 137438953472 B but file has 0 B remaining"},
      {"above MAX_PAYLOAD", zkr(1026, 67108864), "payload 137707388928 B exceeds MAX_PAYLOAD=137438953472"},
  });
}

TEST(probe_rankquant_rules) {
  run_error_cases({
      {"bits 0", zkrq(0, 8, 0), "unsupported ZKRQ bits: 0 (expected 1, 2, or 4)"},
      {"bits 5", zkrq(5, 32, 0), "unsupported ZKRQ bits: 5 (expected 1, 2, or 4)"},
      {"bits 4 dim 8", zkrq(4, 8, 0),
       "ZKRQ dim 8 is not a multiple of 2^bits = 16; constant-composition invariant violated"},
      {"bits 1 dim 12", zkrq(1, 12, 0), "ZKRQ dim 12 is not a multiple of codes_per_byte = 8"},
      {"n_vectors at limit", zkrq(4, 65520, 67108864), "payload 2198486384640 B exceeds MAX_PAYLOAD=137438953472"},
      {"payload short", with_payload(zkrq(4, 16, 2), 15),
       "ZKRQ payload truncated: header declares 16 B but file has 15 B remaining"},
      {"legacy trailing names ZKRQ", with_payload(zkrq(2, 4, 1, "YQRQ"), 2),
       "ZKRQ payload has trailing bytes: header declares 1 B but file has 2 B remaining"},
  });
}

TEST(probe_bitmap_rules) {
  run_error_cases({
      {"dim 100", zkbm(100, 1, 0), "ZKBM dim 100 is not a multiple of 64"},
      {"n_top 0", zkbm(128, 0, 0), "ZKBM n_top 0 must satisfy 0 < n_top < dim (128)"},
      {"n_top dim", zkbm(128, 128, 0), "ZKBM n_top 128 must satisfy 0 < n_top < dim (128)"},
      {"dim 65472 at limit", zkbm(65472, 1, 67108864), "payload 549218942976 B exceeds MAX_PAYLOAD=137438953472"},
      {"payload short", with_payload(zkbm(64, 1, 2), 15),
       "ZKBM payload truncated: header declares 16 B but file has 15 B remaining"},
  });
}

TEST(probe_sign_bitmap_rules) {
  run_error_cases({
      {"dim 63", zksb(63, 0), "ZKSB dim 63 out of range [64, 16777216]"},
      {"dim 2^24+1", zksb(16777217, 0), "ZKSB dim 16777217 out of range [64, 16777216]"},
      {"dim 96", zksb(96, 0), "ZKSB dim 96 is not a multiple of 64"},
      {"ZKSB at MAX_PAYLOAD", zksb(16384, 67108864),
       "ZKSB payload truncated: header declares 137438953472 B but file has 0 B remaining"},
      {"ZKSB above MAX_PAYLOAD", zksb(16448, 67108864), "payload 137975824384 B exceeds MAX_PAYLOAD=137438953472"},
      // One byte past a payload bigger than the 8 KiB buffer is still seen.
      {"trailing after large payload", with_payload(zksb(64, 2048), 16385),
       "ZKSB payload has trailing bytes: header declares 16384 B but file has 16385 B remaining"},
      {"short large payload", with_payload(zksb(64, 2048), 8179),
       "ZKSB payload truncated: header declares 16384 B but file has 8179 B remaining"},
  });
}

TEST(probe_success_metadata) {
  struct Case {
    const char* name;
    Bytes content;
    uint64_t sparse_extra;
    IndexKind kind;
    std::string params;
    uint64_t dim, n_vectors, bytes_per_vec, file_size;
  };
  const std::vector<Case> cases = {
      {"ZKR1 legacy", with_payload(zkr(3, 2, "YQR1"), 12), 0, IndexKind::Rank, "Rank", 3, 2, 6, 25},
      {"ZKR1 65535", with_payload(zkr(65535, 1), 131070), 0, IndexKind::Rank, "Rank", 65535, 1, 131070, 131083},
      {"ZKRQ bits 1", with_payload(zkrq(1, 8, 3), 3), 0, IndexKind::RankQuant, "RankQuant { bits: 1 }", 8, 3, 1, 17},
      {"ZKRQ legacy bits 4", with_payload(zkrq(4, 16, 2, "YQRQ"), 16), 0, IndexKind::RankQuant, "RankQuant { bits: 4 }",
       16, 2, 8, 30},
      {"ZKBM n_top 127", with_payload(zkbm(128, 127, 2), 32), 0, IndexKind::Bitmap, "Bitmap { n_top: 127 }", 128, 2, 16,
       49},
      {"ZKSB dim 64", with_payload(zksb(64, 1), 8), 0, IndexKind::SignBitmap, "SignBitmap", 64, 1, 8, 21},
      {"ZKSB dim 2^24", zksb(16777216, 0), 0, IndexKind::SignBitmap, "SignBitmap", 16777216, 0, 2097152, 13},
      // Payloads far beyond the 8 KiB buffer: the remaining count must subtract the
      // bytes still buffered, and the payload itself is never read (sparse holes).
      {"ZKSB 16 KiB payload", with_payload(zksb(64, 2048), 16384), 0, IndexKind::SignBitmap, "SignBitmap", 64, 2048, 8,
       16397},
      {"ZKR1 at MAX_VECTORS", zkr(2, 67108864), 268435456, IndexKind::Rank, "Rank", 2, 67108864, 4, 268435469},
  };
  TempDir tmp;
  for (const auto& c : cases) {
    std::string path = tmp.write(c.content, c.sparse_extra);
    auto r = probe_index_file(path);
    if (!r) {
      ++zmtest::failures();
      std::cerr << "case " << c.name << ": " << r.error().text() << "\n";
      continue;
    }
    CHECK(r->kind == c.kind);
    CHECK_EQ(params_debug_text(r->params), c.params);
    CHECK_EQ(static_cast<int>(r->format_version), 1);
    CHECK_EQ(r->dim, c.dim);
    CHECK_EQ(r->n_vectors, c.n_vectors);
    CHECK_EQ(r->bytes_per_vec, c.bytes_per_vec);
    CHECK_EQ(r->file_size_bytes, c.file_size);
  }
}

TEST(probe_open_file_entry) {
  TempDir tmp;
  std::string path = tmp.write(with_payload(zkrq(2, 8, 3), 6));
  auto file = zm::io::File::open_read(path);
  CHECK(file.has_value());
  if (!file) return;
  auto r = probe_index_open_file(*file, 20);
  CHECK(r.has_value());
  if (r) {
    CHECK(r->kind == IndexKind::RankQuant);
    CHECK_EQ(r->file_size_bytes, uint64_t{20});
  }
  // The file stays open for the caller (creation hashes through the same descriptor).
  CHECK(file->is_open());

  // A size smaller than the header leaves nothing remaining (never a negative count).
  auto small = zm::io::File::open_read(tmp.write(zkr(2, 0)));
  CHECK(small.has_value());
  if (!small) return;
  auto s = probe_index_open_file(*small, 5);
  CHECK(s.has_value());
  if (s) CHECK_EQ(s->file_size_bytes, uint64_t{5});
  auto big = zm::io::File::open_read(tmp.write(zkr(2, 1)));
  if (!big) return;
  auto b = probe_index_open_file(*big, 5);
  CHECK(!b.has_value());
  if (!b) CHECK_EQ(b.error().text(), "ZKR1 payload truncated: header declares 4 B but file has 0 B remaining");
}

TEST(probe_os_errors_pass_through) {
  TempDir tmp;
  auto missing = probe_index_file(tmp.path() + "/does-not-exist.zkr");
  CHECK(!missing && missing.error().os_error() == ENOENT);
  if (!missing) CHECK_EQ(missing.error().text(), "No such file or directory (os error 2)");
  auto dir = probe_index_file(tmp.path());
  CHECK(!dir && dir.error().os_error() == EISDIR);
  if (!dir) CHECK_EQ(dir.error().text(), "Is a directory (os error 21)");
}

TEST(probe_payload_overflow_paths) {
  using detail::bit_payload;
  using detail::rankquant_payload;
  const uint64_t max = UINT64_MAX;
  struct Case {
    const char* name;
    zm::Result<detail::PayloadShape> got;
    std::optional<std::string> error;  // nullopt: must succeed
    uint64_t payload;
  };
  const std::vector<Case> cases = {
      {"rq dim*bits overflows", rankquant_payload(max / 4 + 1, 4, 1), "ZKRQ bytes_per_vec overflows usize", 0},
      {"rq dim*bits fits", rankquant_payload(max / 4, 4, 0), std::nullopt, 0},
      {"rq payload overflows", rankquant_payload(uint64_t{1} << 40, 8, uint64_t{1} << 24),
       "ZKRQ payload size overflows usize", 0},
      {"rq payload fits", rankquant_payload(uint64_t{1} << 40, 8, (uint64_t{1} << 24) - 1), std::nullopt,
       ((uint64_t{1} << 24) - 1) << 40},
      {"bm words overflow", bit_payload("ZKBM", max, max), "ZKBM payload size overflows usize", 0},
      {"sb bytes overflow only", bit_payload("ZKSB", uint64_t{1} << 63, 16), "ZKSB payload size overflows usize", 0},
      {"sb bytes just fit", bit_payload("ZKSB", uint64_t{1} << 63, 15), std::nullopt, uint64_t{15} << 60},
      {"rank overflow", detail::rank_payload(max / 2 + 1, 1), "ZKR1 payload size overflows usize", 0},
  };
  for (const auto& c : cases) {
    if (c.error) {
      CHECK(!c.got.has_value());
      if (!c.got) CHECK_EQ(c.got.error().text(), *c.error);
    } else {
      CHECK(c.got.has_value());
      if (c.got) CHECK_EQ(c.got->payload, c.payload);
    }
  }
}

TEST(registry_lookup_and_notes) {
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
}

TEST(kind_names_and_params_text) {
  CHECK_EQ(index_kind_name(IndexKind::RankQuantFastscan), std::string_view("RankQuantFastscan"));
  CHECK_EQ(metadata_kind_name(IndexKind::RankQuantFastscan), std::string("rank_quant_fastscan"));
  CHECK_EQ(params_debug_text(RankQuantFastscanParams{4}), "RankQuantFastscan { bits: 4 }");
  CHECK_EQ(params_debug_text(BitmapParams{4294967295u}), "Bitmap { n_top: 4294967295 }");
}

TEST(try_from_core_and_unsupported_messages) {
  auto fs = zm::try_from_core(IndexKind::RankQuantFastscan);
  CHECK(!fs.has_value());
  if (!fs) {
    CHECK(fs.error().form() == UnsupportedCoreMetadata::Form::NotCovered);
    CHECK_EQ(fs.error().message(),
             "artifact metadata kind RankQuantFastscan is not covered by zarnik-manifest v1: " + kFastscanCoverage);
  }

  CHECK_EQ(UnsupportedCoreMetadata::kind_not_supported(IndexKind::SignBitmap).message(),
           "artifact metadata kind SignBitmap is not supported by zarnik-manifest v1");
  CHECK_EQ(UnsupportedCoreMetadata::params_not_supported(RankQuantFastscanParams{2}).message(),
           "artifact metadata params RankQuantFastscan { bits: 2 } are not supported by zarnik-manifest v1");
  CHECK_EQ(UnsupportedCoreMetadata::no_registry_entry(IndexKind::Bitmap).message(),
           "artifact metadata kind Bitmap has no zarnik persisted-format registry entry");

  auto fsp = zm::try_params_from_core(RankQuantFastscanParams{4});
  CHECK(!fsp.has_value());
  if (!fsp) {
    CHECK(fsp.error().form() == UnsupportedCoreMetadata::Form::ParamsNotSupported);
    CHECK_EQ(fsp.error().message(),
             "artifact metadata params RankQuantFastscan { bits: 4 } are not supported by zarnik-manifest v1");
  }
}
