#include "index_format/format.h"

#include <array>

#include <fmt/format.h>

namespace zm::index_format {

namespace {

constexpr std::string_view kAbiOnlyRankQuantAndBitmap = "ABI v1 supports only RankQuant and Bitmap indexes";

constexpr std::array<PersistedFormat, kIndexKindCount> kFormats{{
    {"zkr", "ZKR1", "YQR1", IndexKind::Rank, kAbiOnlyRankQuantAndBitmap, std::nullopt, std::nullopt},
    {"zkrq", "ZKRQ", "YQRQ", IndexKind::RankQuant, std::nullopt, std::nullopt, std::nullopt},
    {"zkbm", "ZKBM", "YQBM", IndexKind::Bitmap, std::nullopt, std::nullopt, std::nullopt},
    {"zksb", "ZKSB", "YQSB", IndexKind::SignBitmap, kAbiOnlyRankQuantAndBitmap, std::nullopt, std::nullopt},
    {"zkfs", "ZKFS", std::nullopt, IndexKind::RankQuantFastscan,
     "ABI v1 does not support RankQuantFastscan indexes (tracked in #232)",
     RegistryNote{kRegistryNoteIssue,
                  "ZKFS (RankQuantFastscan) metadata probing is not supported in this version; load the index "
                  "with RankQuantFastscan::load (tracked in #232)"},
     RegistryNote{kRegistryNoteIssue,
                  "RankQuantFastscan (.zkfs) is not covered by zarnik-manifest v1 (tracked in #232)"}},
}};

struct ParamsText {
  std::string operator()(const RankParams&) const { return "Rank"; }
  std::string operator()(const RankQuantParams& p) const {
    return fmt::format("RankQuant {{ bits: {} }}", static_cast<unsigned>(p.bits));
  }
  std::string operator()(const BitmapParams& p) const { return fmt::format("Bitmap {{ n_top: {} }}", p.n_top); }
  std::string operator()(const SignBitmapParams&) const { return "SignBitmap"; }
  std::string operator()(const RankQuantFastscanParams& p) const {
    return fmt::format("RankQuantFastscan {{ bits: {} }}", static_cast<unsigned>(p.bits));
  }
};

}  // namespace

std::string_view index_kind_name(IndexKind kind) {
  switch (kind) {
    case IndexKind::Rank:
      return "Rank";
    case IndexKind::RankQuant:
      return "RankQuant";
    case IndexKind::Bitmap:
      return "Bitmap";
    case IndexKind::SignBitmap:
      return "SignBitmap";
    case IndexKind::RankQuantFastscan:
      return "RankQuantFastscan";
  }
  return "Unknown";
}

std::string params_debug_text(const IndexParams& params) {
  return std::visit(ParamsText{}, params);
}

IndexKind params_kind(const IndexParams& params) {
  return static_cast<IndexKind>(params.index());
}

std::span<const PersistedFormat> persisted_formats() {
  return kFormats;
}

const PersistedFormat* lookup_magic(uint32_t magic) {
  for (const auto& f : kFormats) {
    if (magic_value(f.magic) == magic) return &f;
    if (f.legacy_magic && magic_value(*f.legacy_magic) == magic) return &f;
  }
  return nullptr;
}

const PersistedFormat* format_for_kind(IndexKind kind) {
  for (const auto& f : kFormats) {
    if (f.kind == kind) return &f;
  }
  return nullptr;
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::kind_not_supported(IndexKind kind) {
  return UnsupportedCoreMetadata(Form::KindNotSupported, kind);
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::params_not_supported(IndexParams params) {
  UnsupportedCoreMetadata e(Form::ParamsNotSupported, params_kind(params));
  e.params_ = params;
  return e;
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::no_registry_entry(IndexKind kind) {
  return UnsupportedCoreMetadata(Form::NoRegistryEntry, kind);
}

UnsupportedCoreMetadata UnsupportedCoreMetadata::not_covered(IndexKind kind, std::string_view coverage_note) {
  UnsupportedCoreMetadata e(Form::NotCovered, kind);
  e.note_ = std::string(coverage_note);
  return e;
}

std::string UnsupportedCoreMetadata::message() const {
  switch (form_) {
    case Form::KindNotSupported:
      return fmt::format("artifact metadata kind {} is not supported by zarnik-manifest v1", index_kind_name(kind_));
    case Form::ParamsNotSupported:
      return fmt::format("artifact metadata params {} are not supported by zarnik-manifest v1",
                         params_debug_text(params_));
    case Form::NoRegistryEntry:
      return fmt::format("artifact metadata kind {} has no zarnik persisted-format registry entry",
                         index_kind_name(kind_));
    case Form::NotCovered:
      return fmt::format("artifact metadata kind {} is not covered by zarnik-manifest v1: {}", index_kind_name(kind_),
                         note_);
  }
  return {};
}

}  // namespace zm::index_format
