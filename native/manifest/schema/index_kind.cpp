#include "manifest/schema/index_kind.h"

namespace zm {

using index_format::IndexKind;
using index_format::UnsupportedCoreMetadata;

std::expected<ManifestIndexKind, UnsupportedCoreMetadata> try_from_core(IndexKind kind) {
  const index_format::PersistedFormat* entry = index_format::format_for_kind(kind);
  if (entry == nullptr) return std::unexpected(UnsupportedCoreMetadata::no_registry_entry(kind));
  if (entry->manifest_coverage_note) {
    return std::unexpected(UnsupportedCoreMetadata::not_covered(kind, entry->manifest_coverage_note->text));
  }
  switch (kind) {
    case IndexKind::Rank:
      return ManifestIndexKind::Rank;
    case IndexKind::RankQuant:
      return ManifestIndexKind::RankQuant;
    case IndexKind::Bitmap:
      return ManifestIndexKind::Bitmap;
    case IndexKind::SignBitmap:
      return ManifestIndexKind::SignBitmap;
    case IndexKind::RankQuantFastscan:
      break;
  }
  return std::unexpected(UnsupportedCoreMetadata::kind_not_supported(kind));
}

std::expected<ManifestIndexParams, UnsupportedCoreMetadata> try_params_from_core(
    const index_format::IndexParams& params) {
  using namespace index_format;
  if (const auto* p = std::get_if<RankQuantParams>(&params)) return ParamsRankQuant{p->bits};
  if (const auto* p = std::get_if<BitmapParams>(&params)) return ParamsBitmap{p->n_top};
  if (std::holds_alternative<RankParams>(params)) return ParamsRank{};
  if (std::holds_alternative<SignBitmapParams>(params)) return ParamsSignBitmap{};
  return std::unexpected(UnsupportedCoreMetadata::params_not_supported(params));
}

}  // namespace zm
