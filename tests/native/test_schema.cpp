// Manifest schema codec: every schema error class with its exact text and position,
// the presence rules, the writers' exact bytes, and the row-map line decoder.
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "manifest/schema/codec.h"

namespace {

const std::string kSha(64, 'a');

// The smallest valid manifest; cases below edit it.
const std::string kBase =
    R"({"schema_version":"zarnik.index_manifest.v1","manifest_id":"m-1","created_at":"2024-01-01T00:00:00Z",)"
    R"("artifact":{"path":"index.zkrq","sha256":")" +
    kSha +
    R"(","kind":"rank_quant","format_version":1,"dim":8,"vector_count":3,"bytes_per_vec":4,)"
    R"("params":{"kind":"rank_quant","bits":2},"file_size_bytes":100},)"
    R"("embedding":{"model":"m","dim":8},"row_identity":{"kind":"row_id_identity","row_count":3}})";

const std::string kCalibration =
    R"({"schema_version":"zarnik.calibration.v1","profile_id":"c","calibrated_for":{"model":"m","dim":8},)"
    R"("ordinalization":{"kind":"top_k","dim":8,"k":2},)"
    R"("profile":{"path":"p","sha256":"s","file_size_bytes":1,"dim":8,"sample_count":1,)"
    R"("parameterization":"sign_frequency","format":"npy"},"null_model":{"kind":"uniform_hypergeometric"}})";

const std::string kDistortion =
    R"({"schema_version":"zarnik.encoder_distortion.v1","profile_id":"d","encoder":{"model":"m","dim":8},)"
    R"("source_metric":{"name":"cosine"},"embedding_metric":{"name":"hamming"},"bounds":{},"scope":{},)"
    R"("evidence":{"kind":"certified"}})";

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  size_t at = text.find(from);
  CHECK(at != std::string::npos);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The base manifest with `block` inserted as one more top-level member before row_identity.
std::string with_member(std::string_view member) {
  return replaced(kBase, R"("row_identity":)", std::string(member) + R"(,"row_identity":)");
}

std::string parse_error(std::string_view text) {
  auto m = zm::parse_manifest(text);
  if (m) return "";
  CHECK(m.error().kind() == zm::ManifestError::Kind::Json);
  return m.error().display();
}

std::string at(std::string_view text, std::string_view needle_end) {
  size_t i = text.find(needle_end);
  CHECK(i != std::string::npos);
  return " at line 1 column " + std::to_string(i + needle_end.size());
}

struct SchemaCase {
  SchemaCase(std::string t, std::string m, std::string a = "", size_t b = 0)
      : text(std::move(t)), message(std::move(m)), after(std::move(a)), back(b) {}
  std::string text;
  std::string message;
  // The error sits just past the first occurrence of this text; empty: past `back`
  // bytes before the end.
  std::string after;
  size_t back = 0;
};

void run(const std::vector<SchemaCase>& cases) {
  for (const auto& c : cases) {
    std::string want = c.message + (c.after.empty() ? " at line 1 column " + std::to_string(c.text.size() - c.back)
                                                    : at(c.text, c.after));
    std::string got = parse_error(c.text);
    if (got != want) {
      ++zmtest::failures();
      std::cerr << "input: " << c.text << "\n  got:  " << got << "\n  want: " << want << "\n";
    }
  }
}

zm::IndexManifest parse_ok(std::string_view text) {
  auto m = zm::parse_manifest(text);
  if (!m) {
    ++zmtest::failures();
    std::cerr << "unexpected error: " << m.error().display() << "\n  input: " << text << "\n";
    return {};
  }
  return std::move(*m);
}

std::string with_params(std::string_view params) {
  return replaced(kBase, R"("params":{"kind":"rank_quant","bits":2})", std::string(R"("params":)") += params);
}
std::string with_rows(std::string_view rows) {
  return replaced(kBase, R"("row_identity":{"kind":"row_id_identity","row_count":3})",
                  std::string(R"("row_identity":)") += rows);
}
std::string with_calibration(std::string_view from, std::string_view to) {
  return with_member(R"("calibration":)" + replaced(kCalibration, from, to));
}

const char* const kManifestFields =
    "one of `schema_version`, `manifest_id`, `created_at`, `artifact`, `auxiliary_artifacts`, `embedding`, "
    "`encoder_distortion`, `calibration`, `row_identity`, `build`, `attestations`, `extensions`";

}  // namespace

TEST(schema_document_level_errors) {
  run({
      {"", "EOF while parsing a value"},
      {"5", "invalid type: integer `5`, expected struct IndexManifest"},
      {"null", "invalid type: null, expected struct IndexManifest"},
      {"\"x\"", "invalid type: string \"x\", expected struct IndexManifest"},
      {"[]", "invalid length 0, expected struct IndexManifest with 12 elements"},
      {"{}", "missing field `schema_version`"},
      {"\xEF\xBB\xBF" + kBase, "expected value", "\xEF"},
      {kBase + "{}", "trailing characters", "}}{"},
      {kBase + " x", "trailing characters", "} x"},
      {replaced(kBase, R"("created_at":"2024-01-01T00:00:00Z",)", ""), "missing field `created_at`"},
      {replaced(kBase, R"({"schema_version")", R"({"zzz":1,"schema_version")"),
       std::string("unknown field `zzz`, expected ") + kManifestFields, R"({"zzz")"},
      {replaced(kBase, R"("manifest_id":"m-1")", R"("manifest_id":"m-1","manifest_id":"m-2")"),
       "duplicate field `manifest_id`", R"("m-1","manifest_id")"},
  });
  // The empty document has nothing on its line: column 0. Whitespace only: column of the last byte.
  CHECK_EQ(parse_error(""), std::string("EOF while parsing a value at line 1 column 0"));
  CHECK_EQ(parse_error("  \n"), std::string("EOF while parsing a value at line 2 column 0"));
  CHECK_EQ(parse_error(kBase + "\n x"), std::string("trailing characters at line 2 column 2"));
  parse_ok(kBase + " \t\r\n ");
  parse_ok(" \n" + kBase);
  parse_ok(replaced(kBase, R"("format_version":1)", R"("format_version":255)"));
}

TEST(schema_scalar_type_errors) {
  auto dim = [](std::string_view v) {
    return replaced(kBase, R"("dim":8,"vector)", R"("dim":)" + std::string(v) + R"(,"vector)");
  };
  run({
      {dim("\"8\""), "invalid type: string \"8\", expected u64", R"("dim":"8")"},
      {dim("1.5"), "invalid type: floating point `1.5`, expected u64", "1.5"},
      {dim("8.0"), "invalid type: floating point `8.0`, expected u64", "8.0"},
      {dim("1e2"), "invalid type: floating point `100.0`, expected u64", "1e2"},
      {dim("-0"), "invalid type: floating point `-0.0`, expected u64", R"("dim":-0)"},
      {dim("-1"), "invalid value: integer `-1`, expected u64", R"("dim":-1)"},
      {dim("-9223372036854775808"), "invalid value: integer `-9223372036854775808`, expected u64", "808"},
      {dim("18446744073709551616"), "invalid type: floating point `1.8446744073709552e19`, expected u64", "616"},
      {dim("true"), "invalid type: boolean `true`, expected u64", "true"},
      {dim("false"), "invalid type: boolean `false`, expected u64", "false"},
      {dim("null"), "invalid type: null, expected u64", "null"},
      // Containers are refused before anything of them is taken.
      {dim("[8]"), "invalid type: sequence, expected u64", R"("dim":)"},
      {dim(" {}"), "invalid type: map, expected u64", R"("dim": )"},
      // The quoted form of the found string.
      {dim("\"a\\tb\\\"\xC2\x85\\u0000\""), "invalid type: string \"a\\tb\\\"\\u{85}\\0\", expected u64", "0000\""},
      // A syntax error in the offending value wins over the type error.
      {dim("1.x"), "invalid number", "1.x"},
      {dim("tru"), "expected ident", "tru,"},
      {dim("\"\\q\""), "invalid escape", "\\q"},
      {dim("@"), "expected value", "@"},
      {replaced(kBase, R"("format_version":1)", R"("format_version":256)"), "invalid value: integer `256`, expected u8",
       ":256"},
      {replaced(kBase, R"("format_version":1)", R"("format_version":-1)"), "invalid value: integer `-1`, expected u8",
       ":-1"},
      {replaced(kBase, R"("format_version":1)", R"("format_version":2.0)"),
       "invalid type: floating point `2.0`, expected u8", "2.0"},
      {replaced(kBase, R"("path":"index.zkrq")", R"("path":5)"), "invalid type: integer `5`, expected a string",
       R"("path":5)"},
      {replaced(kBase, R"("model":"m")", R"("model":null)"), "invalid type: null, expected a string", "null"},
      {replaced(kBase, R"("artifact":{)", R"("artifact":"x","old":{)"),
       "invalid type: string \"x\", expected struct Artifact", R"("artifact":"x")"},
      {replaced(kBase, R"("embedding":{"model":"m","dim":8})", R"("embedding":7)"),
       "invalid type: integer `7`, expected struct Embedding", R"("embedding":7)"},
      {with_member(R"("auxiliary_artifacts":{})"), "invalid type: map, expected a sequence",
       R"("auxiliary_artifacts":)"},
      {with_member(R"("auxiliary_artifacts":null)"), "invalid type: null, expected a sequence", "null"},
      {with_member(R"("auxiliary_artifacts":[1])"), "invalid type: integer `1`, expected struct AuxiliaryArtifact",
       "[1"},
      {with_member(R"("attestations":{})"), "invalid type: map, expected a sequence", R"("attestations":)"},
      {with_member(R"("extensions":[])"), "invalid type: sequence, expected a map", R"("extensions":)"},
      {with_member(R"("extensions":null)"), "invalid type: null, expected a map", "null"},
      {with_member(R"("extensions":{"a":1,})"), "trailing comma", R"(1,})"},
      {with_member(R"("build":{})"), "missing field `invocation_id`", R"("build":{})"},
      {with_member(R"("build":5)"), "invalid type: integer `5`, expected struct BuildInfo", R"("build":5)"},
      {with_member(
           R"("auxiliary_artifacts":[{"name":"a","path":"p","sha256":"s","file_size_bytes":1,"required":null}])"),
       "invalid type: null, expected a boolean", "null"},
      {with_member(
           R"("auxiliary_artifacts":[{"name":"a","path":"p","sha256":"s","file_size_bytes":1,"required":"no"}])"),
       "invalid type: string \"no\", expected a boolean", R"("no")"},
      {with_member(R"("auxiliary_artifacts":[{"name":"a","path":"p","file_size_bytes":1}])"), "missing field `sha256`",
       R"("file_size_bytes":1})"},
      {with_member(R"("encoder_distortion":)" +
                   replaced(kDistortion, R"("scope":{})", R"("scope":{"confidence":"x"})")),
       "invalid type: string \"x\", expected f64", R"("x")"},
  });
}

TEST(schema_record_key_errors) {
  run({
      {replaced(kBase, R"("embedding":{"model":"m","dim":8})", R"("embedding":{"model":"m","dim":8,"dim":8})"),
       "duplicate field `dim`", R"(8,"dim")"},
      // A repeated key fails before its value is looked at.
      {replaced(kBase, R"("embedding":{"model":"m","dim":8})", R"("embedding":{"model":"m","dim":8,"dim":"x"})"),
       "duplicate field `dim`", R"(8,"dim")"},
      // Whitespace after the offending key is taken before the error is placed.
      {replaced(kBase, R"("embedding":{"model":"m")", R"("embedding":{"model":"m" , "zzz" : 1)"),
       "unknown field `zzz`, expected one of `model`, `dim`, `model_revision`, `tokenizer_revision`, `pooling`, "
       "`corpus_digest`, `embedding_matrix_digest`, `normalization`",
       R"("zzz" )"},
      // Keys are compared after unescaping; the message shows the decoded key.
      {replaced(kBase, R"("embedding":{"model":"m")", R"("embedding":{"model":"m","Model\u0021":1)"),
       "unknown field `Model!`, expected one of `model`, `dim`, `model_revision`, `tokenizer_revision`, `pooling`, "
       "`corpus_digest`, `embedding_matrix_digest`, `normalization`",
       R"(\u0021")"},
      {replaced(kBase, R"("embedding":{"model":"m","dim":8})", R"("embedding":{"dim":8})"), "missing field `model`",
       R"("embedding":{"dim":8})"},
      // The first missing field in declaration order is named.
      {replaced(kBase, R"("embedding":{"model":"m","dim":8})", R"("embedding":{})"), "missing field `model`",
       R"("embedding":{})"},
      {with_member(R"("encoder_distortion":)" + replaced(kDistortion, R"("bounds":{})", R"("bounds":{"x":1})")),
       "unknown field `x`, expected one of `declared_lower_bound`, `declared_upper_bound`, `estimated_distortion`, "
       "`violation_rate`, `max_observed_violation`, `quantile_observed_violation`",
       R"({"x")"},
      {with_member(R"("build":{"invocation_id":"i","builder":"b"})"),
       "unknown field `builder`, expected one of `invocation_id`, `builder_id`, `source_repo`, `source_commit`, "
       "`ci_provider`, `ci_run_id`",
       R"("builder")"},
  });
}

TEST(schema_enum_errors) {
  run({
      {replaced(kBase, R"("kind":"rank_quant","format)", R"("kind":"RankQuant","format)"),
       "unknown variant `RankQuant`, expected one of `rank`, `rank_quant`, `bitmap`, `sign_bitmap`", R"("RankQuant")"},
      {replaced(kBase, R"("kind":"rank_quant","format)", R"("kind":5,"format)"),
       "invalid type: integer `5`, expected variant identifier", R"("kind":5)"},
      {replaced(kBase, R"("kind":"rank_quant","format)", R"("kind":null,"format)"),
       "invalid type: null, expected variant identifier", R"("kind":null)"},
      {replaced(kBase, R"("kind":"rank_quant","format)", R"("kind":{"rank":null},"format)"),
       "invalid type: map, expected variant identifier", R"("kind":)"},
      {with_calibration(R"("parameterization":"sign_frequency")", R"("parameterization":"MarginalTopKFrequency")"),
       "unknown variant `MarginalTopKFrequency`, expected one of `marginal_topk_frequency`, `bucket_frequency`, "
       "`sign_frequency`, `rank_position_frequency`, `empirical_tail_table`",
       R"("MarginalTopKFrequency")"},
      {with_member(R"("encoder_distortion":)" + replaced(kDistortion, R"("kind":"certified")", R"("kind":"guess")")),
       "unknown variant `guess`, expected one of `certified`, `empirical_sample`, `benchmark_estimate`, "
       "`teacher_estimate`, `caller_asserted`",
       R"("guess")"},
  });
}

TEST(schema_tagged_union_errors) {
  // Errors in the selected variant's fields sit just past the union's closing brace,
  // whatever follows it; errors found while reading the union whole sit where found.
  run({
      {with_rows("5"), "invalid type: integer `5`, expected internally tagged enum RowIdentity", R"("row_identity":5)"},
      {with_rows(R"("jsonl")"), "invalid type: string \"jsonl\", expected internally tagged enum RowIdentity",
       R"("row_identity":"jsonl")"},
      {with_rows("[]"), "invalid type: sequence, expected internally tagged enum RowIdentity", R"("row_identity":)"},
      {with_rows(R"({"row_count":3})"), "missing field `kind`", "", 1},
      {with_rows(R"({"kind":"x","row_count":3})"), "unknown variant `x`, expected one of `row_id_identity`, `jsonl`",
       R"("kind":"x")"},
      {with_rows(R"({"kind":7})"), "invalid type: integer `7`, expected variant identifier", R"("kind":7)"},
      {with_rows(R"({"kind":"jsonl","row_count":3})"), "missing field `path`", "", 1},
      {with_rows(R"({"kind":"jsonl","row_count":3}  )"), "missing field `path`", "", 3},
      {with_rows(R"({"kind":"row_id_identity","row_count":3,"kind":"jsonl"})"), "duplicate field `kind`",
       R"(3,"kind")"},
      {with_rows(R"({"kind":"row_id_identity","row_count":3,"row_count":4})"), "duplicate field `row_count`", "", 1},
      {with_rows(R"({"kind":"row_id_identity","row_count":-3})"), "invalid value: integer `-3`, expected u64", "", 1},
      {with_rows(R"({"kind":"row_id_identity","row_count":3,"path":"x"})"),
       "unknown field `path`, expected `row_count`", "", 1},
      {with_rows(R"({"kind":"jsonl","path":"r","sha256":"s","row_count":1,"id_kind":"uuid","db":{"host":"h"}})"),
       "unknown field `host`, expected one of `path`, `table`, `id_column`", "", 1},
      {with_rows(R"({"kind":"jsonl","path":"r","sha256":"s","row_count":1,"id_kind":"uuid","db":5})"),
       "invalid type: integer `5`, expected struct RowIdentityDb", "", 1},
      {with_params(R"({"kind":"rank_quant"})"), "missing field `bits`", R"("params":{"kind":"rank_quant"})"},
      {with_params(R"({"kind":"rank_quant"}  )"), "missing field `bits`", R"("params":{"kind":"rank_quant"})"},
      {with_params(R"({"kind":"rank","bits":2})"), "unknown field `bits`, there are no fields",
       R"("params":{"kind":"rank","bits":2})"},
      {with_params(R"({"kind":"rank_quant","bits":2,"n_top":1})"), "unknown field `n_top`, expected `bits`",
       R"("n_top":1})"},
      {with_params(R"({"kind":"rank_quant","bits":300})"), "invalid value: integer `300`, expected u8", "300}"},
      {with_params(R"({"kind":"rank_quant","bits":[1,2]})"), "invalid type: sequence, expected u8", "2]}"},
      {with_params(R"({"kind":"rank_quant","bits":2,"bits":2})"), "duplicate field `bits`", R"(2,"bits":2})"},
      {with_params(R"({"kind":"bitmap","n_top":1.5})"), "invalid type: floating point `1.5`, expected u64", "1.5}"},
      {with_params(R"({"kind":"sign_bitmap","n_top":1})"), "unknown field `n_top`, there are no fields", "1}"},
      // Syntax errors inside the union are found while reading it whole.
      {with_params(R"({"kind":"rank_quant","bits":2,})"), "trailing comma", "2,}"},
      {with_params(R"({"kind":"rank_quant","bits":"\u12G4"})"), "invalid escape", "12G4"},
      {with_params(R"({"kind":"rank_quant","bits":1e999})"), "number out of range", "1e999"},
      {with_params(R"({"bits":2})"), "missing field `kind`", R"({"bits":2})"},
      {with_calibration(R"("ordinalization":{"kind":"top_k","dim":8,"k":2})", R"("ordinalization":{"kind":"topk"})"),
       "unknown variant `topk`, expected one of `top_k`, `bucket`, `sign`, `rank_position`, `caller_defined`",
       R"("topk")"},
      {with_calibration(R"("ordinalization":{"kind":"top_k","dim":8,"k":2})",
                        R"("ordinalization":{"kind":"top_k","dim":8})"),
       "missing field `k`", R"("kind":"top_k","dim":8})"},
      {with_calibration(R"("null_model":{"kind":"uniform_hypergeometric"})",
                        R"("null_model":{"kind":"uniform_hypergeometric","name":"x"})"),
       "unknown field `name`, there are no fields", R"("name":"x"})"},
      {with_calibration(R"("null_model":{"kind":"uniform_hypergeometric"})",
                        R"("null_model":{"kind":"weighted_marginal_profile"})"),
       "missing field `parameterization`", R"("weighted_marginal_profile"})"},
      // An enumeration inside a variant: its errors also sit at the union's end.
      {with_calibration(
           R"("null_model":{"kind":"uniform_hypergeometric"})",
           R"("null_model":{"parameterization":"MarginalTopKFrequency","kind":"weighted_marginal_profile"})"),
       "unknown variant `MarginalTopKFrequency`, expected one of `marginal_topk_frequency`, `bucket_frequency`, "
       "`sign_frequency`, `rank_position_frequency`, `empirical_tail_table`",
       R"("weighted_marginal_profile"})"},
      {with_calibration(R"("null_model":{"kind":"uniform_hypergeometric"})",
                        R"("null_model":{"kind":"weighted_marginal_profile","parameterization":3})"),
       "invalid type: integer `3`, expected variant identifier", "3}"},
      {with_calibration(R"("null_model":{"kind":"uniform_hypergeometric"})", R"("null_model":null)"),
       "invalid type: null, expected internally tagged enum NullModelSpec", R"("null_model":null)"},
      {with_calibration(R"("ordinalization":{"kind":"top_k","dim":8,"k":2})", R"("ordinalization":[])"),
       "invalid type: sequence, expected internally tagged enum CalibrationOrdinalization", R"("ordinalization":)"},
      {with_params("3"), "invalid type: integer `3`, expected internally tagged enum ManifestIndexParams",
       R"("params":3)"},
  });
}

TEST(schema_array_form_of_records) {
  run({
      {replaced(kBase, R"({"model":"m","dim":8})", R"([])"),
       "invalid length 0, expected struct Embedding with 8 elements", R"("embedding":[])"},
      {replaced(kBase, R"({"model":"m","dim":8})", R"(["m"])"),
       "invalid length 1, expected struct Embedding with 8 elements", R"(["m"])"},
      // Optional fields must be given (as null) in the array form.
      {replaced(kBase, R"({"model":"m","dim":8})", R"(["m",8])"),
       "invalid length 2, expected struct Embedding with 8 elements", R"(["m",8])"},
      {replaced(kBase, R"({"model":"m","dim":8})", R"(["m",8,null,null,null,null,null,null,1])"), "trailing characters",
       "null,1"},
      {replaced(kBase, R"({"model":"m","dim":8})", R"(["m",8,null,null,null,null,null,null,])"), "trailing comma",
       "null,]"},
      {replaced(kBase, R"({"model":"m","dim":8})", R"([8,"m"])"), "invalid type: integer `8`, expected a string", "[8"},
  });
  zm::IndexManifest m =
      parse_ok(replaced(kBase, R"({"model":"m","dim":8})", R"(["m",8,"r",null,null,null,null,"l2"])"));
  CHECK_EQ(m.embedding.model, std::string("m"));
  CHECK_EQ(m.embedding.dim, 8u);
  CHECK(m.embedding.model_revision == std::optional<std::string>("r"));
  CHECK(!m.embedding.tokenizer_revision.has_value());
  CHECK(m.embedding.normalization == std::optional<std::string>("l2"));
  // A trailing defaulted field may be left out: `required` takes true.
  m = parse_ok(with_member(R"("auxiliary_artifacts":[["a","p","s",1],["b","q","t",2,false]])"));
  CHECK_EQ(m.auxiliary_artifacts.size(), 2u);
  CHECK(m.auxiliary_artifacts[0].required);
  CHECK(!m.auxiliary_artifacts[1].required);
  CHECK_EQ(m.auxiliary_artifacts[1].file_size_bytes, 2u);
}

TEST(schema_presence_rules_and_normalised_output) {
  // Absent and null optionals, empty defaulted containers and a true `required` are
  // all left out on write; extensions come back in key order with the last value of a
  // repeated key; integers passed for f64 become floats.
  std::string in = with_member(
      R"("auxiliary_artifacts":[{"name":"a","path":"p","sha256":"s","file_size_bytes":1,"required":true},)"
      R"({"name":"b","path":"q","sha256":"t","file_size_bytes":2,"required":false}],)"
      R"("encoder_distortion":)" +
      replaced(kDistortion, R"("scope":{})", R"("scope":{"confidence":1,"coverage":null,"sample_size":7})") +
      R"(,"calibration":)" +
      replaced(replaced(kCalibration, R"("format":"npy"})", R"("format":"npy","shape":[]})"),
               R"({"kind":"uniform_hypergeometric"})", R"({"name":"n","kind":"caller_defined"})") +
      R"(,"build":null,"attestations":[],"extensions":{"b.x":1,"a.y":{"z":2,"y":[]},"b.x":3})");
  zm::IndexManifest m = parse_ok(in);
  CHECK(!m.build.has_value());
  CHECK(m.auxiliary_artifacts[0].required);
  CHECK(m.encoder_distortion.has_value());
  std::string expected =
      R"({"schema_version":"zarnik.index_manifest.v1","manifest_id":"m-1","created_at":"2024-01-01T00:00:00Z",)"
      R"("artifact":{"path":"index.zkrq","sha256":")" +
      kSha +
      R"(","kind":"rank_quant","format_version":1,"dim":8,"vector_count":3,"bytes_per_vec":4,)"
      R"("params":{"kind":"rank_quant","bits":2},"file_size_bytes":100},)"
      R"("auxiliary_artifacts":[{"name":"a","path":"p","sha256":"s","file_size_bytes":1},)"
      R"({"name":"b","path":"q","sha256":"t","file_size_bytes":2,"required":false}],)"
      R"("embedding":{"model":"m","dim":8},)"
      R"("encoder_distortion":{"schema_version":"zarnik.encoder_distortion.v1","profile_id":"d","encoder":{"model":"m","dim":8},)"
      R"("source_metric":{"name":"cosine"},"embedding_metric":{"name":"hamming"},"bounds":{},)"
      R"("scope":{"sample_size":7,"confidence":1.0},"evidence":{"kind":"certified"}},)"
      R"("calibration":{"schema_version":"zarnik.calibration.v1","profile_id":"c","calibrated_for":{"model":"m","dim":8},)"
      R"("ordinalization":{"kind":"top_k","dim":8,"k":2},)"
      R"("profile":{"path":"p","sha256":"s","file_size_bytes":1,"dim":8,"sample_count":1,)"
      R"("parameterization":"sign_frequency","format":"npy"},"null_model":{"kind":"caller_defined","name":"n"}},)"
      R"("row_identity":{"kind":"row_id_identity","row_count":3},)"
      R"("extensions":{"a.y":{"y":[],"z":2},"b.x":3}})";
  CHECK_EQ(zm::write_manifest_compact(m), expected);
  // The writer's output reads back to the same output.
  CHECK_EQ(zm::write_manifest_compact(parse_ok(expected)), expected);
}

TEST(schema_accepted_edge_cases) {
  // The artifact's kind and its params' kind are independent.
  zm::IndexManifest m = parse_ok(with_params(R"({"kind":"bitmap","n_top":4})"));
  CHECK(m.artifact.kind == zm::ManifestIndexKind::RankQuant);
  CHECK(std::holds_alternative<zm::ParamsBitmap>(m.artifact.params));
  CHECK_EQ(std::get<zm::ParamsBitmap>(m.artifact.params).n_top, 4u);
  // The tag may come last, and keys may be escaped, the tag's included.
  m = parse_ok(with_rows(R"({"row_count":3,"\u006bind":"row_id_identity"})"));
  CHECK_EQ(std::get<zm::RowIdIdentity>(m.row_identity).row_count, 3u);
  m = parse_ok(replaced(kBase, R"("path":"index.zkrq")", R"("p\u0061th":"a\/b\u00e9")"));
  CHECK_EQ(m.artifact.path, std::string("a/b\xC3\xA9"));
  // A bucket ordinalization with 3 bits is the verifier's business.
  m = parse_ok(with_calibration(R"({"kind":"top_k","dim":8,"k":2})", R"({"kind":"bucket","dim":8,"bits":3})"));
  CHECK_EQ(std::get<zm::OrdBucket>(m.calibration->ordinalization).bits, 3);
  // Full u64 range; negative zero and exponents in f64 fields.
  m = parse_ok(replaced(kBase, R"("file_size_bytes":100)", R"("file_size_bytes":18446744073709551615)"));
  CHECK_EQ(m.artifact.file_size_bytes, 18446744073709551615ull);
  m = parse_ok(with_member(
      R"("encoder_distortion":)" +
      replaced(kDistortion, R"("bounds":{})", R"("bounds":{"violation_rate":-0,"declared_upper_bound":25e-1})")));
  CHECK(std::signbit(*m.encoder_distortion->bounds.violation_rate));
  CHECK_EQ(*m.encoder_distortion->bounds.declared_upper_bound, 2.5);
  // Pretty-printed input with CRLF line ends.
  std::string crlf = replaced(replaced(kBase, "{\"schema_version\"", "{\r\n  \"schema_version\""),
                              ",\"embedding\":", ",\r\n  \"embedding\" :\t");
  parse_ok(crlf + "\r\n");
}

TEST(schema_nesting_limit_counts_the_document) {
  // The manifest object is level 1 and attestations level 2: 126 more levels fit.
  std::string ok = with_member(R"("attestations":[)" + std::string(126, '[') + std::string(126, ']') + "]");
  parse_ok(ok);
  std::string deep = with_member(R"("attestations":[)" + std::string(127, '[') + std::string(127, ']') + "]");
  std::string prefix = R"("attestations":[)" + std::string(127, '[');
  CHECK_EQ(parse_error(deep), "recursion limit exceeded" + at(deep, prefix));
}

TEST(schema_full_manifest_round_trip_exact_bytes) {
  const std::string compact =
      R"json({"schema_version":"zarnik.index_manifest.v1","manifest_id":"urn:uuid:0b7f3c1e-2a4d-4c8e-9f10-3d2b1a0e9c8d","created_at":"2024-05-01T12:00:00Z","artifact":{"path":"index.zkbm","sha256":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef","kind":"bitmap","format_version":2,"dim":768,"vector_count":3,"bytes_per_vec":96,"params":{"kind":"bitmap","n_top":64},"file_size_bytes":18446744073709551615},"auxiliary_artifacts":[{"name":"ids","path":"aux/ids.bin","sha256":"bb","file_size_bytes":10},{"name":"opt","path":"aux/opt.bin","sha256":"cc","file_size_bytes":0,"required":false}],"embedding":{"model":"enc-é \"q\"\t/","dim":768,"model_revision":"r1","tokenizer_revision":"t1","pooling":"mean","corpus_digest":"dd","embedding_matrix_digest":"ee","normalization":"l2"},"encoder_distortion":{"schema_version":"zarnik.encoder_distortion.v1","profile_id":"ed-1","created_at":"2024-05-01T12:00:00Z","encoder":{"model":"enc","dim":768,"model_revision":"r1","normalization":"l2"},"tokenizer_revision":"t1","pooling":"mean","source_metric":{"name":"cosine","version":"1","digest":"sha256:00"},"embedding_metric":{"name":"hamming"},"bounds":{"declared_lower_bound":0.5,"declared_upper_bound":2.0,"estimated_distortion":1.25,"violation_rate":0.001,"max_observed_violation":1e-7,"quantile_observed_violation":1e16},"scope":{"corpus_digest":"sha256:c","query_set_digest":"sha256:q","pair_sample_digest":"sha256:p","domain":"web","sample_size":1000,"confidence":0.95,"coverage":1.0,"estimator_version":"v2"},"evidence":{"kind":"empirical_sample","estimator_id":"est","estimator_hash":"sha256:h"},"profile":{"path":"p/ed.bin","sha256":"ff","file_size_bytes":5,"format":"npy","source_digest":"sha256:s"},"calibration_profile_id":"cal-1"},"calibration":{"schema_version":"zarnik.calibration.v1","profile_id":"cal-1","created_at":"2024-05-01T12:00:00Z","calibrated_for":{"model":"enc","dim":768},"ordinalization":{"kind":"caller_defined","dim":768,"name":"mine"},"profile":{"path":"p/cal.bin","sha256":"99","file_size_bytes":7,"dim":768,"sample_count":100,"parameterization":"rank_position_frequency","format":"npy","shape":[4,256],"source_digest":"sha256:s"},"null_model":{"kind":"caller_defined","name":"nm","parameterization":"free text"}},"row_identity":{"kind":"jsonl","path":"rows.jsonl","sha256":"11","row_count":3,"id_kind":"uuid","db":{"path":"db.sqlite","table":"t","id_column":"id"}},"build":{"invocation_id":"inv","builder_id":"b","source_repo":"repo","source_commit":"abc","ci_provider":"ci","ci_run_id":"42"},"attestations":[{"a":[1,-2,2.5,true,null,"s"],"b":{}},"x",[]],"extensions":{"a.y":{"k":1.0},"b.x":18446744073709551615}})json";
  const std::string pretty = R"json({
  "schema_version": "zarnik.index_manifest.v1",
  "manifest_id": "urn:uuid:0b7f3c1e-2a4d-4c8e-9f10-3d2b1a0e9c8d",
  "created_at": "2024-05-01T12:00:00Z",
  "artifact": {
    "path": "index.zkbm",
    "sha256": "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
    "kind": "bitmap",
    "format_version": 2,
    "dim": 768,
    "vector_count": 3,
    "bytes_per_vec": 96,
    "params": {
      "kind": "bitmap",
      "n_top": 64
    },
    "file_size_bytes": 18446744073709551615
  },
  "auxiliary_artifacts": [
    {
      "name": "ids",
      "path": "aux/ids.bin",
      "sha256": "bb",
      "file_size_bytes": 10
    },
    {
      "name": "opt",
      "path": "aux/opt.bin",
      "sha256": "cc",
      "file_size_bytes": 0,
      "required": false
    }
  ],
  "embedding": {
    "model": "enc-é \"q\"\t/",
    "dim": 768,
    "model_revision": "r1",
    "tokenizer_revision": "t1",
    "pooling": "mean",
    "corpus_digest": "dd",
    "embedding_matrix_digest": "ee",
    "normalization": "l2"
  },
  "encoder_distortion": {
    "schema_version": "zarnik.encoder_distortion.v1",
    "profile_id": "ed-1",
    "created_at": "2024-05-01T12:00:00Z",
    "encoder": {
      "model": "enc",
      "dim": 768,
      "model_revision": "r1",
      "normalization": "l2"
    },
    "tokenizer_revision": "t1",
    "pooling": "mean",
    "source_metric": {
      "name": "cosine",
      "version": "1",
      "digest": "sha256:00"
    },
    "embedding_metric": {
      "name": "hamming"
    },
    "bounds": {
      "declared_lower_bound": 0.5,
      "declared_upper_bound": 2.0,
      "estimated_distortion": 1.25,
      "violation_rate": 0.001,
      "max_observed_violation": 1e-7,
      "quantile_observed_violation": 1e16
    },
    "scope": {
      "corpus_digest": "sha256:c",
      "query_set_digest": "sha256:q",
      "pair_sample_digest": "sha256:p",
      "domain": "web",
      "sample_size": 1000,
      "confidence": 0.95,
      "coverage": 1.0,
      "estimator_version": "v2"
    },
    "evidence": {
      "kind": "empirical_sample",
      "estimator_id": "est",
      "estimator_hash": "sha256:h"
    },
    "profile": {
      "path": "p/ed.bin",
      "sha256": "ff",
      "file_size_bytes": 5,
      "format": "npy",
      "source_digest": "sha256:s"
    },
    "calibration_profile_id": "cal-1"
  },
  "calibration": {
    "schema_version": "zarnik.calibration.v1",
    "profile_id": "cal-1",
    "created_at": "2024-05-01T12:00:00Z",
    "calibrated_for": {
      "model": "enc",
      "dim": 768
    },
    "ordinalization": {
      "kind": "caller_defined",
      "dim": 768,
      "name": "mine"
    },
    "profile": {
      "path": "p/cal.bin",
      "sha256": "99",
      "file_size_bytes": 7,
      "dim": 768,
      "sample_count": 100,
      "parameterization": "rank_position_frequency",
      "format": "npy",
      "shape": [
        4,
        256
      ],
      "source_digest": "sha256:s"
    },
    "null_model": {
      "kind": "caller_defined",
      "name": "nm",
      "parameterization": "free text"
    }
  },
  "row_identity": {
    "kind": "jsonl",
    "path": "rows.jsonl",
    "sha256": "11",
    "row_count": 3,
    "id_kind": "uuid",
    "db": {
      "path": "db.sqlite",
      "table": "t",
      "id_column": "id"
    }
  },
  "build": {
    "invocation_id": "inv",
    "builder_id": "b",
    "source_repo": "repo",
    "source_commit": "abc",
    "ci_provider": "ci",
    "ci_run_id": "42"
  },
  "attestations": [
    {
      "a": [
        1,
        -2,
        2.5,
        true,
        null,
        "s"
      ],
      "b": {}
    },
    "x",
    []
  ],
  "extensions": {
    "a.y": {
      "k": 1.0
    },
    "b.x": 18446744073709551615
  }
})json";
  zm::IndexManifest m = parse_ok(compact);
  CHECK_EQ(zm::write_manifest_compact(m), compact);
  CHECK_EQ(zm::write_manifest_pretty(m), pretty);
  CHECK_EQ(zm::write_manifest_compact(parse_ok(pretty)), compact);
  // Spot checks that the values landed in the right members.
  CHECK_EQ(m.artifact.file_size_bytes, 18446744073709551615ull);
  CHECK_EQ(m.embedding.model, std::string("enc-\xC3\xA9 \"q\"\t/"));
  CHECK(std::get<zm::RowIdentityJsonl>(m.row_identity).db->table == std::optional<std::string>("t"));
  CHECK_EQ(m.calibration->profile->shape.size(), 2u);
  CHECK_EQ(*m.encoder_distortion->bounds.max_observed_violation, 1e-7);
  CHECK(std::get<zm::NullCallerDefined>(m.calibration->null_model).parameterization ==
        std::optional<std::string>("free text"));
  CHECK_EQ(m.attestations.size(), 3u);
  CHECK_EQ(m.extensions.size(), 2u);
  CHECK_EQ(zm::row_identity_kind_name(m.row_identity), std::string_view("jsonl"));
  CHECK_EQ(zm::manifest_index_kind_name(m.artifact.kind), std::string_view("bitmap"));
}

TEST(schema_report_policy_writes_every_key) {
  zm::IndexManifest m =
      parse_ok(with_member(R"("auxiliary_artifacts":[{"name":"a","path":"p","sha256":"s","file_size_bytes":1}])"));
  zm::json::Writer w(zm::json::Style::Compact, zm::json::Absent::WriteNull);
  zm::write_manifest(w, m);
  const std::string& out = w.buffer();
  CHECK(out.find(R"("file_size_bytes":1,"required":true})") != std::string::npos);
  CHECK(out.find(R"("embedding":{"model":"m","dim":8,"model_revision":null,"tokenizer_revision":null,"pooling":null,)"
                 R"("corpus_digest":null,"embedding_matrix_digest":null,"normalization":null})") != std::string::npos);
  CHECK(out.find(R"("encoder_distortion":null,"calibration":null,)") != std::string::npos);
  CHECK(out.find(R"("build":null,"attestations":[],"extensions":{}})") != std::string::npos);
  zm::json::Writer params(zm::json::Style::Pretty);
  zm::write_manifest_index_params(params, zm::ManifestIndexParams{zm::ParamsRankQuant{3}});
  CHECK_EQ(params.take(), std::string("{\n  \"kind\": \"rank_quant\",\n  \"bits\": 3\n}"));
}

TEST(schema_jsonl_row_lines) {
  struct RowCase {
    std::string line;
    std::string error;  // empty: decodes
  };
  const std::vector<RowCase> cases = {
      {R"({"row_id":0,"db_id":"a"})", ""},
      {R"({"row_id":0,"db_id":"a","parent_id":null})", ""},
      {R"(  {"parent_id":"p","db_id":"a","row_id":18446744073709551615}  )", ""},
      {R"([0,"a",null])", ""},
      {R"([0,"a","p"])", ""},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {R"({"row_id":0})", "missing field `db_id` at line 1 column 12"},
      {R"({"db_id":"a"})", "missing field `row_id` at line 1 column 13"},
      {R"({"row_id":0,"db_id":"a","x":1})",
       "unknown field `x`, expected one of `row_id`, `db_id`, `parent_id` at line 1 column 27"},
      {R"({"row_id":0,"db_id":"a","db_id":"b"})", "duplicate field `db_id` at line 1 column 31"},
      {R"({"row_id":-1,"db_id":"a"})", "invalid value: integer `-1`, expected u64 at line 1 column 12"},
      {R"({"row_id":"0","db_id":"a"})", "invalid type: string \"0\", expected u64 at line 1 column 13"},
      {R"({"row_id":0,"db_id":5})", "invalid type: integer `5`, expected a string at line 1 column 21"},
      {R"({"row_id":0,"db_id":null})", "invalid type: null, expected a string at line 1 column 24"},
      {R"({"row_id":0,"db_id":"a","parent_id":5})", "invalid type: integer `5`, expected a string at line 1 column 37"},
      {R"({"row_id":0,"db_id":"a"} x)", "trailing characters at line 1 column 26"},
      {R"({"row_id":0,"db_id":"a"}{})", "trailing characters at line 1 column 25"},
      {R"({"row_id":0,"db_id":"a")", "EOF while parsing an object at line 1 column 23"},
      {R"([])", "invalid length 0, expected struct JsonlRow with 3 elements at line 1 column 2"},
      {R"([0,"a"])", "invalid length 2, expected struct JsonlRow with 3 elements at line 1 column 7"},
      {R"([0,"a"] )", "invalid length 2, expected struct JsonlRow with 3 elements at line 1 column 7"},
      {R"([0,"a",null,1])", "trailing characters at line 1 column 13"},
      {R"([0,"a",null,])", "trailing comma at line 1 column 13"},
      {R"([0,"a",null)", "EOF while parsing a list at line 1 column 11"},
      {R"(5)", "invalid type: integer `5`, expected struct JsonlRow at line 1 column 1"},
      {"{\"row_id\":0,\"db_id\":\"a\xFF\"}", "invalid unicode code point at line 1 column 24"},
  };
  for (const auto& c : cases) {
    auto row = zm::decode_jsonl_row(c.line);
    std::string got = row ? "" : row.error();
    if (got != c.error) {
      ++zmtest::failures();
      std::cerr << "line: " << c.line << "\n  got:  " << got << "\n  want: " << c.error << "\n";
    }
  }
  auto row = zm::decode_jsonl_row(R"(  {"parent_id":"p","db_id":"a","row_id":18446744073709551615}  )");
  CHECK(row.has_value());
  if (row) {
    CHECK_EQ(row->row_id, 18446744073709551615ull);
    CHECK_EQ(row->db_id, std::string("a"));
    CHECK(row->parent_id == std::optional<std::string>("p"));
  }
  row = zm::decode_jsonl_row(R"([7,"b",null])");
  CHECK(row && row->row_id == 7 && row->db_id == "b" && !row->parent_id);
}
