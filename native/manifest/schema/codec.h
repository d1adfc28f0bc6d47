// JSON form of the manifest records: strict parsing, the two writers, and the
// row-map line decoder. The field tables behind them live in codec.cpp.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "json/writer.h"
#include "manifest/error.h"
#include "manifest/schema/manifest.h"

namespace zm {

// Strict parse of one whole manifest text (whitespace only after it). Errors are
// ManifestError::json with the message, line and column.
Result<IndexManifest> parse_manifest(std::string_view text);

// The manifest with absent optional fields, empty defaulted arrays/objects and a true
// `required` left out; members in declaration order, "kind" first in tagged unions.
std::string write_manifest_compact(const IndexManifest& manifest);  // no whitespace
std::string write_manifest_pretty(const IndexManifest& manifest);   // 2-space indent, no final newline
// The same record through a caller's writer (any style or absent policy).
void write_manifest(json::Writer& writer, const IndexManifest& manifest);

// The artifact's params as the manifest holds them ("kind" first), for other writers.
void write_manifest_index_params(json::Writer& writer, const ManifestIndexParams& params);

// One row-map line, line terminators already removed. The error is the full display
// text of the JSON error, "<message> at line 1 column C" (each line is its own document).
std::expected<JsonlRow, std::string> decode_jsonl_row(std::string_view line);

// The JSON strings of the enumerations, for messages and reports.
std::string_view manifest_index_kind_name(ManifestIndexKind kind);
std::string_view profile_parameterization_name(ProfileParameterization p);
std::string_view distortion_evidence_kind_name(DistortionEvidenceKind kind);
// The "kind" tag of each tagged union's current variant.
std::string_view index_params_kind_name(const ManifestIndexParams& params);
std::string_view row_identity_kind_name(const RowIdentity& identity);
std::string_view ordinalization_kind_name(const CalibrationOrdinalization& ord);
std::string_view null_model_kind_name(const NullModelSpec& model);

}  // namespace zm
