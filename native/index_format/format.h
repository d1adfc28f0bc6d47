// The persisted-format registry of the zarnik index files: the five index kinds, their
// parameters, the 4-byte magics that select them, and the notes that say which formats
// the header probe and version 1 manifests cannot handle, and the error that says why
// probed metadata cannot be written into a version 1 manifest.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace zm::index_format {

// The index kinds, in registry order; the underlying value is the kind's index.
enum class IndexKind : uint8_t { Rank = 0, RankQuant = 1, Bitmap = 2, SignBitmap = 3, RankQuantFastscan = 4 };

inline constexpr size_t kIndexKindCount = 5;

// The kind's variant name as messages show it: "Rank", "RankQuant", "Bitmap",
// "SignBitmap", "RankQuantFastscan".
std::string_view index_kind_name(IndexKind kind);

// Kind-specific header parameters.
struct RankParams {
  friend bool operator==(const RankParams&, const RankParams&) = default;
};
struct RankQuantParams {
  uint8_t bits = 0;
  friend bool operator==(const RankQuantParams&, const RankQuantParams&) = default;
};
struct BitmapParams {
  uint32_t n_top = 0;
  friend bool operator==(const BitmapParams&, const BitmapParams&) = default;
};
struct SignBitmapParams {
  friend bool operator==(const SignBitmapParams&, const SignBitmapParams&) = default;
};
struct RankQuantFastscanParams {
  uint8_t bits = 0;
  friend bool operator==(const RankQuantFastscanParams&, const RankQuantFastscanParams&) = default;
};
// Variant order matches IndexKind.
using IndexParams = std::variant<RankParams, RankQuantParams, BitmapParams, SignBitmapParams, RankQuantFastscanParams>;

// Debug text: "Rank", "RankQuant { bits: 2 }", "Bitmap { n_top: 7 }", "SignBitmap",
// "RankQuantFastscan { bits: 4 }".
std::string params_debug_text(const IndexParams& params);

// The kind whose variant `params` holds.
IndexKind params_kind(const IndexParams& params);

// The issue that tracks every registry note.
inline constexpr uint32_t kRegistryNoteIssue = 232;

struct RegistryNote {
  uint32_t issue;
  std::string_view text;
};

// One registry entry. Magics are the four bytes as they appear in the file.
struct PersistedFormat {
  std::string_view short_name;
  std::string_view magic;
  std::optional<std::string_view> legacy_magic;
  IndexKind kind;
  std::optional<std::string_view> abi_note;
  std::optional<RegistryNote> probe_note;
  std::optional<RegistryNote> manifest_coverage_note;
};

// All five entries, in IndexKind order.
std::span<const PersistedFormat> persisted_formats();

// The little-endian 32-bit value of four magic bytes (`four` must hold 4 bytes).
constexpr uint32_t magic_value(std::string_view four) {
  return static_cast<uint32_t>(static_cast<uint8_t>(four[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(four[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(four[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(four[3])) << 24;
}

// The entry whose current or legacy magic has this little-endian value; nullptr for an
// unknown magic.
const PersistedFormat* lookup_magic(uint32_t magic);

// The entry of a kind; nullptr when the kind has none (never for the five kinds).
const PersistedFormat* format_for_kind(IndexKind kind);

// Why probed metadata cannot be written into a version 1 manifest.
class UnsupportedCoreMetadata {
 public:
  enum class Form { KindNotSupported, ParamsNotSupported, NoRegistryEntry, NotCovered };

  static UnsupportedCoreMetadata kind_not_supported(IndexKind kind);
  static UnsupportedCoreMetadata params_not_supported(IndexParams params);
  static UnsupportedCoreMetadata no_registry_entry(IndexKind kind);
  static UnsupportedCoreMetadata not_covered(IndexKind kind, std::string_view coverage_note);

  Form form() const { return form_; }
  IndexKind kind() const { return kind_; }
  const IndexParams& params() const { return params_; }
  const std::string& coverage_note() const { return note_; }

  // "artifact metadata kind {} is not supported by zarnik-manifest v1",
  // "artifact metadata params {} are not supported by zarnik-manifest v1",
  // "artifact metadata kind {} has no zarnik persisted-format registry entry",
  // "artifact metadata kind {} is not covered by zarnik-manifest v1: {}".
  std::string message() const;

 private:
  UnsupportedCoreMetadata(Form form, IndexKind kind) : form_(form), kind_(kind) {}
  Form form_;
  IndexKind kind_;
  IndexParams params_;
  std::string note_;
};

}  // namespace zm::index_format
