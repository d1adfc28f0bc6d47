// The metadata probe of zarnik index files: reads the magic and the header through an
// 8 KiB buffered reader, validates every header field against its format's limits, and
// checks that the bytes after the header are exactly the payload the header declares.
// The payload is never read. Every failure is a ManifestError of kind Io: the probe's
// own texts through io_custom, operating-system errors through io_errno.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "index_format/format.h"
#include "io/file.h"

namespace zm::index_format {

inline constexpr uint64_t kMaxVectors = 67108864;        // 2^26
inline constexpr uint64_t kMaxPayload = 137438953472;    // 2^37 bytes
inline constexpr uint64_t kMaxDim = 65535;               // ZKR1, ZKRQ, ZKBM
inline constexpr uint64_t kMaxSignBitmapDim = 16777216;  // 2^24, ZKSB
inline constexpr size_t kProbeBufferSize = 8192;

struct IndexMetadata {
  IndexKind kind = IndexKind::Rank;
  IndexParams params;
  uint8_t format_version = 0;
  uint64_t dim = 0;
  uint64_t n_vectors = 0;
  uint64_t bytes_per_vec = 0;
  uint64_t file_size_bytes = 0;
};

// The kind in the snake_case spelling of metadata reports: "rank", "rank_quant",
// "bitmap", "sign_bitmap", and "rank_quant_fastscan" for the kind manifests cannot hold.
std::string metadata_kind_name(IndexKind kind);

// Opens `path`, probes it and closes it on every path.
Result<IndexMetadata> probe_index_file(const std::string& path);

// Probes an open file positioned at offset 0 whose size (fstat) is `file_size`. The file
// stays open; its offset afterwards is unspecified (the caller seeks or reopens).
Result<IndexMetadata> probe_index_open_file(io::File& file, uint64_t file_size);

// A buffered reader over an open file: every refill is one read(2) of at most 8 KiB.
class ProbeReader {
 public:
  explicit ProbeReader(io::File& file) : file_(file) {}
  ProbeReader(const ProbeReader&) = delete;
  ProbeReader& operator=(const ProbeReader&) = delete;

  // Fills out[0..n). End of file before n bytes gives
  // "{magic} header truncated while reading {field}"; other read errors pass through.
  Result<void> read_exact(uint8_t* out, size_t n, std::string_view magic, std::string_view field);
  Result<uint8_t> read_u8(std::string_view magic, std::string_view field);
  Result<uint32_t> read_u32_le(std::string_view magic, std::string_view field);

  // The logical position: the file's offset less the bytes still buffered.
  Result<uint64_t> logical_position() const;

 private:
  io::File& file_;
  std::array<uint8_t, kProbeBufferSize> buf_{};
  size_t begin_ = 0;
  size_t end_ = 0;
};

// The format probes. Each takes the reader positioned just after the magic and the
// file's size, reads its header fields in file order, checks each right after reading
// it, then checks the payload against MAX_PAYLOAD and the bytes remaining in the file.
Result<IndexMetadata> probe_rank_metadata(ProbeReader& reader, uint64_t file_size);
Result<IndexMetadata> probe_rankquant_metadata(ProbeReader& reader, uint64_t file_size);
Result<IndexMetadata> probe_bitmap_metadata(ProbeReader& reader, uint64_t file_size);
Result<IndexMetadata> probe_sign_bitmap_metadata(ProbeReader& reader, uint64_t file_size);

namespace detail {

struct PayloadShape {
  uint64_t bytes_per_vec = 0;
  uint64_t payload = 0;
};

// Overflow-checked payload arithmetic, exposed so its failure paths can be exercised
// with values no valid header reaches.
// ZKR1: bytes_per_vec = dim * 2, payload = n_vectors * dim * 2.
Result<PayloadShape> rank_payload(uint64_t dim, uint64_t n_vectors);
// ZKRQ: bytes_per_vec = dim * bits / 8, payload = n_vectors * bytes_per_vec.
Result<PayloadShape> rankquant_payload(uint64_t dim, uint64_t bits, uint64_t n_vectors);
// ZKBM and ZKSB: bytes_per_vec = dim / 8, payload = n_vectors * (dim / 64) * 8.
Result<PayloadShape> bit_payload(std::string_view magic, uint64_t dim, uint64_t n_vectors);

}  // namespace detail

}  // namespace zm::index_format
