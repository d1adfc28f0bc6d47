// Manifest schema codec: every schema error class with its exact text and position, the presence rules, the writers'
// exact bytes, and the row-map line decoder.
#include <cmath>
#include <tuple>
#include <utility>

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

const std::string kEmb = R"({"model":"m","dim":8})";

std::string edit(std::string_view from, std::string_view to) {
  return replaced(kBase, from, to);
}

// The base manifest with `block` inserted as one more top-level member before row_identity.
std::string with_member(std::string_view member) {
  return edit(R"("row_identity":)", std::string(member) + R"(,"row_identity":)");
}

std::string parse_error(std::string_view text) {
  auto m = zm::parse_manifest(text);
  CHECK(m || m.error().kind() == zm::ManifestError::Kind::Json);
  return m ? "" : m.error().display();
}

// The error sits just past the first occurrence of `after`; empty: `back` bytes before the end.
struct SchemaCase {
  std::string text, message, after = "";
  size_t back = 0;
};

void run(const std::vector<SchemaCase>& cases) {
  for (const auto& c : cases) {
    const size_t at = c.after.empty() ? c.text.size() - c.back : c.text.find(c.after) + c.after.size();
    CHECK_CTX(c.after.empty() || c.text.find(c.after) != std::string::npos, "no " << c.after << " in " << c.text);
    CHECK_EQ(parse_error(c.text), c.message + " at line 1 column " + std::to_string(at));
  }
}

zm::IndexManifest parse_ok(std::string_view text) {
  auto m = zm::parse_manifest(text);
  CHECK_CTX(m.has_value(), (m ? "" : m.error().display()) << " for " << text);
  return m ? std::move(*m) : zm::IndexManifest{};
}

std::string with_params(std::string_view params) {
  return edit(R"("params":{"kind":"rank_quant","bits":2})", std::string(R"("params":)") += params);
}
std::string with_rows(std::string_view rows) {
  return edit(R"("row_identity":{"kind":"row_id_identity","row_count":3})",
                  std::string(R"("row_identity":)") += rows);
}
std::string with_calibration(std::string_view from, std::string_view to) {
  return with_member(R"("calibration":)" + replaced(kCalibration, from, to));
}

}  // namespace

TEST(schema_document_level_errors) {
  run({
      {"5", "invalid type: integer `5`, expected struct IndexManifest"}, {"{}", "missing field `schema_version`"},
      {kBase + " x", "trailing characters", "} x"},
      {edit(R"("created_at":"2024-01-01T00:00:00Z",)", ""), "missing field `created_at`"},
      {edit(R"("manifest_id":"m-1")", R"("manifest_id":"m-1","manifest_id":"m-2")"),
       "duplicate field `manifest_id`", R"("m-1","manifest_id")"},
  });
  // The empty document has nothing on its line: column 0. Whitespace only: column of the last byte.
  CHECK_EQ(parse_error(""), std::string("EOF while parsing a value at line 1 column 0"));
  CHECK_EQ(parse_error("  \n"), std::string("EOF while parsing a value at line 2 column 0"));
  CHECK_EQ(parse_error(kBase + "\n x"), std::string("trailing characters at line 2 column 2"));
  parse_ok(kBase + " \t\r\n ");
  parse_ok(" \n" + kBase);
  parse_ok(edit(R"("format_version":1)", R"("format_version":255)"));
}

TEST(schema_scalar_type_errors) {
  auto dim = [](std::string_view v) {
    return edit(R"("dim":8,"vector)", R"("dim":)" + std::string(v) + R"(,"vector)");
  };
  run({
      {dim("1e2"), "invalid type: floating point `100.0`, expected u64", "1e2"},
      {dim("-0"), "invalid type: floating point `-0.0`, expected u64", R"("dim":-0)"},
      {dim("-1"), "invalid value: integer `-1`, expected u64", R"("dim":-1)"},
      {dim("true"), "invalid type: boolean `true`, expected u64", "true"},
      {dim("null"), "invalid type: null, expected u64", "null"},
      // Containers are refused before anything of them is taken.
      {dim("[8]"), "invalid type: sequence, expected u64", R"("dim":)"},
      {dim(" {}"), "invalid type: map, expected u64", R"("dim": )"},
      // The quoted form of the found string.
      {dim("\"a\\tb\\\"\xC2\x85\\u0000\""), "invalid type: string \"a\\tb\\\"\\u{85}\\0\", expected u64", "0000\""},
      // A syntax error in the offending value wins over the type error.
      {dim("1.x"), "invalid number", "1.x"}, {dim("tru"), "expected ident", "tru,"},
      {edit(R"("format_version":1)", R"("format_version":256)"), "invalid value: integer `256`, expected u8", ":256"},
      {edit(R"("path":"index.zkrq")", R"("path":5)"), "invalid type: integer `5`, expected a string", R"("path":5)"},
      {edit(R"("artifact":{)", R"("artifact":"x","old":{)"),
       "invalid type: string \"x\", expected struct Artifact", R"("artifact":"x")"},
      {with_member(R"("auxiliary_artifacts":{})"), "invalid type: map, expected a sequence",
       R"("auxiliary_artifacts":)"},
      {with_member(R"("auxiliary_artifacts":[1])"), "invalid type: integer `1`, expected struct AuxiliaryArtifact",
       "[1"},
      {with_member(R"("extensions":[])"), "invalid type: sequence, expected a map", R"("extensions":)"},
      {with_member(R"("build":5)"), "invalid type: integer `5`, expected struct BuildInfo", R"("build":5)"},
      {with_member(
           R"("auxiliary_artifacts":[{"name":"a","path":"p","sha256":"s","file_size_bytes":1,"required":null}])"),
       "invalid type: null, expected a boolean", "null"},
      {with_member(R"("auxiliary_artifacts":[{"name":"a","path":"p","file_size_bytes":1}])"), "missing field `sha256`",
       R"("file_size_bytes":1})"},
      {with_member(R"("encoder_distortion":)" +
                   replaced(kDistortion, R"("scope":{})", R"("scope":{"confidence":"x"})")),
       "invalid type: string \"x\", expected f64", R"("x")"},
  });
}

TEST(schema_key_and_variant_errors) {
  const std::string emb = R"("embedding":{"model":"m")";
  const std::string unknown = "`, expected one of `model`, `dim`, `model_revision`, `tokenizer_revision`, `pooling`, "
                              "`corpus_digest`, `embedding_matrix_digest`, `normalization`";
  run({
      {edit(kEmb, R"({"model":"m","dim":8,"dim":8})"), "duplicate field `dim`", R"(8,"dim")"},
      // A repeated key fails before its value is looked at.
      {edit(kEmb, R"({"model":"m","dim":8,"dim":"x"})"), "duplicate field `dim`", R"(8,"dim")"},
      // Whitespace after the offending key is taken before the error is placed.
      {edit(emb, emb + R"( , "zzz" : 1)"), "unknown field `zzz" + unknown, R"("zzz" )"},
      // Keys are compared after unescaping; the message shows the decoded key.
      {edit(emb, emb + R"(,"Model\u0021":1)"), "unknown field `Model!" + unknown, R"(\u0021")"},
      // The first missing field in declaration order is named.
      {edit(kEmb, "{}"), "missing field `model`", R"("embedding":{})"},
  });
  run({
      {edit(R"("kind":"rank_quant","format)", R"("kind":5,"format)"),
       "invalid type: integer `5`, expected variant identifier", R"("kind":5)"},
      {edit(R"("kind":"rank_quant","format)", R"("kind":{"rank":null},"format)"),
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
  // Errors in the selected variant's fields sit just past the union's closing brace, whatever follows it; errors found
  // while reading the union whole sit where found.
  const std::string null_model = R"("null_model":{"kind":"uniform_hypergeometric"})";
  run({
      {with_rows("5"), "invalid type: integer `5`, expected internally tagged enum RowIdentity", R"("row_identity":5)"},
      {with_rows(R"({"row_count":3})"), "missing field `kind`", "", 1},
      {with_rows(R"({"kind":7})"), "invalid type: integer `7`, expected variant identifier", R"("kind":7)"},
      {with_rows(R"({"kind":"jsonl","row_count":3}  )"), "missing field `path`", "", 3},
      {with_rows(R"({"kind":"row_id_identity","row_count":3,"kind":"jsonl"})"), "duplicate field `kind`", "3,\"kind\""},
      {with_rows(R"({"kind":"row_id_identity","row_count":-3})"), "invalid value: integer `-3`, expected u64", "", 1},
      {with_rows(R"({"kind":"jsonl","path":"r","sha256":"s","row_count":1,"id_kind":"uuid","db":5})"),
       "invalid type: integer `5`, expected struct RowIdentityDb", "", 1},
      {with_params(R"({"kind":"rank_quant"}  )"), "missing field `bits`", R"("params":{"kind":"rank_quant"})"},
      {with_params(R"({"kind":"rank_quant","bits":2,"n_top":1})"), "unknown field `n_top`, expected `bits`",
       R"("n_top":1})"},
      {with_params(R"({"kind":"rank_quant","bits":[1,2]})"), "invalid type: sequence, expected u8", "2]}"},
      {with_params(R"({"kind":"rank_quant","bits":2,"bits":2})"), "duplicate field `bits`", R"(2,"bits":2})"},
      {with_params(R"({"kind":"sign_bitmap","n_top":1})"), "unknown field `n_top`, there are no fields", "1}"},
      // Syntax errors inside the union are found while reading it whole.
      {with_params(R"({"kind":"rank_quant","bits":2,})"), "trailing comma", "2,}"},
      {with_params(R"({"kind":"rank_quant","bits":"\u12G4"})"), "invalid escape", "12G4"},
      {with_params(R"({"kind":"rank_quant","bits":1e999})"), "number out of range", "1e999"},
      {with_params(R"({"bits":2})"), "missing field `kind`", R"({"bits":2})"},
      {with_calibration(null_model, R"("null_model":{"kind":"weighted_marginal_profile"})"),
       "missing field `parameterization`", R"("weighted_marginal_profile"})"},
      // An enumeration inside a variant: its errors also sit at the union's end.
      {with_calibration(null_model, R"("null_model":{"kind":"weighted_marginal_profile","parameterization":3})"),
       "invalid type: integer `3`, expected variant identifier", "3}"},
      {with_calibration(null_model, R"("null_model":null)"),
       "invalid type: null, expected internally tagged enum NullModelSpec", R"("null_model":null)"},
      {with_calibration(R"("ordinalization":{"kind":"top_k","dim":8,"k":2})", R"("ordinalization":[])"),
       "invalid type: sequence, expected internally tagged enum CalibrationOrdinalization", R"("ordinalization":)"},
  });
}

TEST(schema_array_form_of_records) {
  run({
      {edit(kEmb, "[]"), "invalid length 0, expected struct Embedding with 8 elements", R"("embedding":[])"},
      // Optional fields must be given (as null) in the array form.
      {edit(kEmb, R"(["m",8])"), "invalid length 2, expected struct Embedding with 8 elements", R"(["m",8])"},
      {edit(kEmb, R"(["m",8,null,null,null,null,null,null,1])"), "trailing characters", "null,1"},
      {edit(kEmb, R"(["m",8,null,null,null,null,null,null,])"), "trailing comma", "null,]"},
      {edit(kEmb, R"([8,"m"])"), "invalid type: integer `8`, expected a string", "[8"},
  });
  zm::IndexManifest m = parse_ok(edit(kEmb, R"(["m",8,"r",null,null,null,null,"l2"])"));
  CHECK(m.embedding.model == "m" && m.embedding.dim == 8 && m.embedding.model_revision == "r");
  CHECK(!m.embedding.tokenizer_revision && m.embedding.normalization == "l2");
  // A trailing defaulted field may be left out: `required` takes true.
  m = parse_ok(with_member(R"("auxiliary_artifacts":[["a","p","s",1],["b","q","t",2,false]])"));
  CHECK(m.auxiliary_artifacts.size() == 2 && m.auxiliary_artifacts[0].required);
  CHECK(m.auxiliary_artifacts.size() == 2 && !m.auxiliary_artifacts[1].required &&
        m.auxiliary_artifacts[1].file_size_bytes == 2);
}

TEST(schema_accepted_edge_cases) {
  // The tag may come last, and keys may be escaped, the tag's included.
  zm::IndexManifest m = parse_ok(with_rows(R"({"row_count":3,"\u006bind":"row_id_identity"})"));
  CHECK_EQ(std::get<zm::RowIdIdentity>(m.row_identity).row_count, 3u);
  m = parse_ok(edit(R"("path":"index.zkrq")", R"("p\u0061th":"a\/b\u00e9")"));
  CHECK_EQ(m.artifact.path, std::string("a/b\xC3\xA9"));
  // Full u64 range; negative zero and exponents in f64 fields.
  m = parse_ok(edit(R"("file_size_bytes":100)", R"("file_size_bytes":18446744073709551615)"));
  CHECK_EQ(m.artifact.file_size_bytes, 18446744073709551615ull);
  m = parse_ok(with_member(
      R"("encoder_distortion":)" +
      replaced(kDistortion, R"("bounds":{})", R"("bounds":{"violation_rate":-0,"declared_upper_bound":25e-1})")));
  CHECK(std::signbit(*m.encoder_distortion->bounds.violation_rate) &&
        *m.encoder_distortion->bounds.declared_upper_bound == 2.5);
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
  const std::tuple<std::string, std::string, int> cases[] = {  // line, error at line 1 `column` ("": decodes)
      {R"({"row_id":0,"db_id":"a"})", "", 0}, {R"({"row_id":0,"db_id":"a","parent_id":null})", "", 0},
      {"   ", "EOF while parsing a value", 3}, {R"({"row_id":0})", "missing field `db_id`", 12},
      {R"({"db_id":"a"})", "missing field `row_id`", 13},
      {R"({"row_id":-1,"db_id":"a"})", "invalid value: integer `-1`, expected u64", 12},
      {R"({"row_id":"0","db_id":"a"})", "invalid type: string \"0\", expected u64", 13},
      {R"({"row_id":0,"db_id":5})", "invalid type: integer `5`, expected a string", 21},
      {R"({"row_id":0,"db_id":"a","parent_id":5})", "invalid type: integer `5`, expected a string", 37},
      {R"({"row_id":0,"db_id":"a"} x)", "trailing characters", 26},
      {R"({"row_id":0,"db_id":"a")", "EOF while parsing an object", 23},
      {R"([])", "invalid length 0, expected struct JsonlRow with 3 elements", 2},
      {R"([0,"a"] )", "invalid length 2, expected struct JsonlRow with 3 elements", 7},
      {R"([0,"a",null,1])", "trailing characters", 13}, {R"([0,"a",null,])", "trailing comma", 13},
      {R"([0,"a",null)", "EOF while parsing a list", 11},
      {R"(5)", "invalid type: integer `5`, expected struct JsonlRow", 1},
  };
  for (const auto& [line, error, column] : cases) {
    auto row = zm::decode_jsonl_row(line);
    CHECK_EQ(row ? "" : row.error(), error.empty() ? "" : error + " at line 1 column " + std::to_string(column));
  }
  auto row = zm::decode_jsonl_row(R"(  {"parent_id":"p","db_id":"a","row_id":18446744073709551615}  )");
  CHECK(row && row->row_id == 18446744073709551615ull && row->db_id == "a" && row->parent_id == "p");
  row = zm::decode_jsonl_row(R"([7,"b",null])");
  CHECK(row && row->row_id == 7 && row->db_id == "b" && !row->parent_id);
}
