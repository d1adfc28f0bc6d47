#include "index_format/rank_io.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace zm::index_format {

namespace {

constexpr std::string_view kMagicRank = "ZKR1";
constexpr std::string_view kMagicRankQuant = "ZKRQ";
constexpr std::string_view kMagicBitmap = "ZKBM";
constexpr std::string_view kMagicSignBitmap = "ZKSB";

std::unexpected<ManifestError> invalid(std::string text) {
  return fail(ManifestError::io_custom(std::move(text)));
}

Result<uint8_t> read_version(ProbeReader& reader, std::string_view magic) {
  auto version = reader.read_u8(magic, "version");
  if (!version) return version;
  if (*version != 1) return invalid(fmt::format("unsupported {} version: {}", magic, static_cast<unsigned>(*version)));
  return version;
}

// "dim {} out of range [2, 65535]", shared by ZKR1, ZKRQ and ZKBM.
Result<void> check_common_dim(uint64_t dim) {
  if (dim < 2 || dim > kMaxDim) return invalid(fmt::format("dim {} out of range [2, {}]", dim, kMaxDim));
  return {};
}

Result<void> check_n_vectors(uint64_t n_vectors) {
  if (n_vectors > kMaxVectors)
    return invalid(fmt::format("n_vectors {} exceeds MAX_VECTORS={}", n_vectors, kMaxVectors));
  return {};
}

// The checks every format shares after its header: payload limit, then the payload
// must fill exactly the bytes that remain after the reader's logical position.
Result<IndexMetadata> finish(ProbeReader& reader, std::string_view magic, uint64_t file_size, uint64_t payload,
                             IndexMetadata meta) {
  if (payload > kMaxPayload) return invalid(fmt::format("payload {} B exceeds MAX_PAYLOAD={}", payload, kMaxPayload));
  auto pos = reader.logical_position();
  if (!pos) return fail(pos.error());
  uint64_t remaining = *pos < file_size ? file_size - *pos : 0;
  if (payload > remaining) {
    return invalid(fmt::format("{} payload truncated: header declares {} B but file has {} B remaining", magic, payload,
                               remaining));
  }
  if (payload < remaining) {
    return invalid(fmt::format("{} payload has trailing bytes: header declares {} B but file has {} B remaining", magic,
                               payload, remaining));
  }
  meta.file_size_bytes = file_size;
  return meta;
}

Result<IndexMetadata> probe_with_reader(ProbeReader& reader, uint64_t file_size) {
  uint8_t magic[4];
  if (auto r = reader.read_exact(magic, sizeof magic, "zarnik index", "magic"); !r) return fail(r.error());
  uint32_t value = magic_value(std::string_view(reinterpret_cast<const char*>(magic), sizeof magic));
  const PersistedFormat* entry = lookup_magic(value);
  if (entry == nullptr) return invalid("unknown zarnik index magic");
  switch (entry->kind) {
    case IndexKind::Rank:
      return probe_rank_metadata(reader, file_size);
    case IndexKind::RankQuant:
      return probe_rankquant_metadata(reader, file_size);
    case IndexKind::Bitmap:
      return probe_bitmap_metadata(reader, file_size);
    case IndexKind::SignBitmap:
      return probe_sign_bitmap_metadata(reader, file_size);
    case IndexKind::RankQuantFastscan:
      break;
  }
  // Kinds without a header probe carry a probe note; the note is the error text.
  if (entry->probe_note) return invalid(std::string(entry->probe_note->text));
  return invalid(fmt::format("{} metadata probing is not supported in this version", entry->magic));
}

}  // namespace

std::string metadata_kind_name(IndexKind kind) {
  switch (kind) {
    case IndexKind::Rank:
      return "rank";
    case IndexKind::RankQuant:
      return "rank_quant";
    case IndexKind::Bitmap:
      return "bitmap";
    case IndexKind::SignBitmap:
      return "sign_bitmap";
    case IndexKind::RankQuantFastscan:
      return "rank_quant_fastscan";
  }
  return "unknown";
}

// ---- ProbeReader ----------------------------------------------------------------------

Result<void> ProbeReader::read_exact(uint8_t* out, size_t n, std::string_view magic, std::string_view field) {
  while (n > 0) {
    if (begin_ == end_) {
      auto got = file_.read_some(buf_.data(), buf_.size());
      if (!got) return fail(got.error());
      if (*got == 0) return invalid(fmt::format("{} header truncated while reading {}", magic, field));
      begin_ = 0;
      end_ = *got;
    }
    size_t take = std::min(n, end_ - begin_);
    std::memcpy(out, buf_.data() + begin_, take);
    begin_ += take;
    out += take;
    n -= take;
  }
  return {};
}

Result<uint8_t> ProbeReader::read_u8(std::string_view magic, std::string_view field) {
  uint8_t b = 0;
  if (auto r = read_exact(&b, 1, magic, field); !r) return fail(r.error());
  return b;
}

Result<uint32_t> ProbeReader::read_u32_le(std::string_view magic, std::string_view field) {
  uint8_t b[4];
  if (auto r = read_exact(b, sizeof b, magic, field); !r) return fail(r.error());
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

Result<uint64_t> ProbeReader::logical_position() const {
  auto pos = file_.position();
  if (!pos) return pos;
  uint64_t buffered = end_ - begin_;
  return *pos >= buffered ? *pos - buffered : 0;
}

// ---- payload arithmetic ---------------------------------------------------------------

namespace detail {

Result<PayloadShape> rank_payload(uint64_t dim, uint64_t n_vectors) {
  PayloadShape s;
  if (__builtin_mul_overflow(dim, uint64_t{2}, &s.bytes_per_vec) ||
      __builtin_mul_overflow(n_vectors, s.bytes_per_vec, &s.payload)) {
    return invalid(fmt::format("{} payload size overflows usize", kMagicRank));
  }
  return s;
}

Result<PayloadShape> rankquant_payload(uint64_t dim, uint64_t bits, uint64_t n_vectors) {
  uint64_t dim_bits = 0;
  if (__builtin_mul_overflow(dim, bits, &dim_bits)) return invalid("ZKRQ bytes_per_vec overflows usize");
  PayloadShape s;
  s.bytes_per_vec = dim_bits / 8;
  if (__builtin_mul_overflow(n_vectors, s.bytes_per_vec, &s.payload))
    return invalid("ZKRQ payload size overflows usize");
  return s;
}

Result<PayloadShape> bit_payload(std::string_view magic, uint64_t dim, uint64_t n_vectors) {
  uint64_t words = 0;
  PayloadShape s;
  if (__builtin_mul_overflow(n_vectors, dim / 64, &words) || __builtin_mul_overflow(words, uint64_t{8}, &s.payload)) {
    return invalid(fmt::format("{} payload size overflows usize", magic));
  }
  s.bytes_per_vec = dim / 8;
  return s;
}

}  // namespace detail

// ---- format probes --------------------------------------------------------------------

Result<IndexMetadata> probe_rank_metadata(ProbeReader& reader, uint64_t file_size) {
  constexpr std::string_view magic = kMagicRank;
  auto version = read_version(reader, magic);
  if (!version) return fail(version.error());
  auto dim = reader.read_u32_le(magic, "dim");
  if (!dim) return fail(dim.error());
  if (auto r = check_common_dim(*dim); !r) return fail(r.error());
  auto n_vectors = reader.read_u32_le(magic, "n_vectors");
  if (!n_vectors) return fail(n_vectors.error());
  if (auto r = check_n_vectors(*n_vectors); !r) return fail(r.error());
  auto shape = detail::rank_payload(*dim, *n_vectors);
  if (!shape) return fail(shape.error());

  return finish(reader, magic, file_size, shape->payload,
                IndexMetadata{.kind = IndexKind::Rank,
                              .params = RankParams{},
                              .format_version = *version,
                              .dim = *dim,
                              .n_vectors = *n_vectors,
                              .bytes_per_vec = shape->bytes_per_vec});
}

Result<IndexMetadata> probe_rankquant_metadata(ProbeReader& reader, uint64_t file_size) {
  constexpr std::string_view magic = kMagicRankQuant;
  auto version = read_version(reader, magic);
  if (!version) return fail(version.error());
  auto bits = reader.read_u8(magic, "bits");
  if (!bits) return fail(bits.error());
  if (*bits != 1 && *bits != 2 && *bits != 4) {
    return invalid(fmt::format("unsupported ZKRQ bits: {} (expected 1, 2, or 4)", static_cast<unsigned>(*bits)));
  }
  auto dim = reader.read_u32_le(magic, "dim");
  if (!dim) return fail(dim.error());
  if (auto r = check_common_dim(*dim); !r) return fail(r.error());
  const uint64_t levels = uint64_t{1} << *bits;
  if (*dim % levels != 0) {
    return invalid(fmt::format("ZKRQ dim {} is not a multiple of 2^bits = {}; constant-composition invariant violated",
                               *dim, levels));
  }
  const uint64_t codes_per_byte = 8 / *bits;
  if (*dim % codes_per_byte != 0) {
    return invalid(fmt::format("ZKRQ dim {} is not a multiple of codes_per_byte = {}", *dim, codes_per_byte));
  }
  auto n_vectors = reader.read_u32_le(magic, "n_vectors");
  if (!n_vectors) return fail(n_vectors.error());
  if (auto r = check_n_vectors(*n_vectors); !r) return fail(r.error());
  auto shape = detail::rankquant_payload(*dim, *bits, *n_vectors);
  if (!shape) return fail(shape.error());

  return finish(reader, magic, file_size, shape->payload,
                IndexMetadata{.kind = IndexKind::RankQuant,
                              .params = RankQuantParams{*bits},
                              .format_version = *version,
                              .dim = *dim,
                              .n_vectors = *n_vectors,
                              .bytes_per_vec = shape->bytes_per_vec});
}

Result<IndexMetadata> probe_bitmap_metadata(ProbeReader& reader, uint64_t file_size) {
  constexpr std::string_view magic = kMagicBitmap;
  auto version = read_version(reader, magic);
  if (!version) return fail(version.error());
  auto dim = reader.read_u32_le(magic, "dim");
  if (!dim) return fail(dim.error());
  if (auto r = check_common_dim(*dim); !r) return fail(r.error());
  if (*dim % 64 != 0) return invalid(fmt::format("ZKBM dim {} is not a multiple of 64", *dim));
  auto n_top = reader.read_u32_le(magic, "n_top");
  if (!n_top) return fail(n_top.error());
  if (*n_top == 0 || *n_top >= *dim) {
    return invalid(fmt::format("ZKBM n_top {} must satisfy 0 < n_top < dim ({})", *n_top, *dim));
  }
  auto n_vectors = reader.read_u32_le(magic, "n_vectors");
  if (!n_vectors) return fail(n_vectors.error());
  if (auto r = check_n_vectors(*n_vectors); !r) return fail(r.error());
  auto shape = detail::bit_payload(magic, *dim, *n_vectors);
  if (!shape) return fail(shape.error());

  return finish(reader, magic, file_size, shape->payload,
                IndexMetadata{.kind = IndexKind::Bitmap,
                              .params = BitmapParams{*n_top},
                              .format_version = *version,
                              .dim = *dim,
                              .n_vectors = *n_vectors,
                              .bytes_per_vec = shape->bytes_per_vec});
}

Result<IndexMetadata> probe_sign_bitmap_metadata(ProbeReader& reader, uint64_t file_size) {
  constexpr std::string_view magic = kMagicSignBitmap;
  auto version = read_version(reader, magic);
  if (!version) return fail(version.error());
  auto dim = reader.read_u32_le(magic, "dim");
  if (!dim) return fail(dim.error());
  if (*dim < 64 || *dim > kMaxSignBitmapDim) {
    return invalid(fmt::format("ZKSB dim {} out of range [64, {}]", *dim, kMaxSignBitmapDim));
  }
  if (*dim % 64 != 0) return invalid(fmt::format("ZKSB dim {} is not a multiple of 64", *dim));
  auto n_vectors = reader.read_u32_le(magic, "n_vectors");
  if (!n_vectors) return fail(n_vectors.error());
  if (auto r = check_n_vectors(*n_vectors); !r) return fail(r.error());
  auto shape = detail::bit_payload(magic, *dim, *n_vectors);
  if (!shape) return fail(shape.error());

  return finish(reader, magic, file_size, shape->payload,
                IndexMetadata{.kind = IndexKind::SignBitmap,
                              .params = SignBitmapParams{},
                              .format_version = *version,
                              .dim = *dim,
                              .n_vectors = *n_vectors,
                              .bytes_per_vec = shape->bytes_per_vec});
}

// ---- entry points ---------------------------------------------------------------------

Result<IndexMetadata> probe_index_open_file(io::File& file, uint64_t file_size) {
  ProbeReader reader(file);
  return probe_with_reader(reader, file_size);
}

Result<IndexMetadata> probe_index_file(const std::string& path) {
  auto file = io::File::open_read(path);
  if (!file) return fail(file.error());
  auto st = file->stat();
  if (!st) return fail(st.error());
  uint64_t size = st->st_size > 0 ? static_cast<uint64_t>(st->st_size) : 0;
  return probe_index_open_file(*file, size);
  // `file` closes when it goes out of scope, on every path.
}

}  // namespace zm::index_format
