// Loading a manifest file: size limit at zero, parse errors carried as Json errors, base directory and path kept as
// given (the limit's boundary and message are checked through inspect_manifest).
#include <sys/stat.h>

#include "check.h"
#include "manifest/load.h"

TEST(load_limit_parse_outcomes_and_base_dir) {
  const std::string manifest =
      R"({"schema_version":"zarnik.index_manifest.v1","manifest_id":"m","created_at":"2024-01-01T00:00:00Z",)"
      R"("artifact":{"path":"i","sha256":"s","kind":"rank","format_version":1,"dim":8,"vector_count":1,)"
      R"("bytes_per_vec":8,"params":{"kind":"rank"},"file_size_bytes":9},"embedding":{"model":"m","dim":8},)"
      R"("row_identity":{"kind":"row_id_identity","row_count":1}})";
  zmtest::TempDir dir;
  const std::string p = dir.write(manifest);
  auto ok = zm::load_manifest_file_with_options(p, manifest.size());
  CHECK(ok && ok->base_dir == dir.path && ok->manifest_path == p);
  // A limit of 0 refuses every non-empty manifest; an empty file then fails to parse.
  auto zero = zm::load_manifest_file_with_options(p, 0);
  CHECK(!zero && zero.error().code() == "manifest_file_too_large");
  auto e = zm::load_manifest_file_with_options(dir.write(""), 0);
  CHECK(!e.has_value());
  if (!e) CHECK_EQ(e.error().display(), std::string("EOF while parsing a value at line 1 column 0"));
  auto two = zm::load_manifest_file_with_options(dir.write(manifest + "\n{}"), 1 << 20);
  CHECK(!two && two.error().kind() == zm::ManifestError::Kind::Json);
  auto missing = zm::load_manifest_file_with_options(dir.path + "/absent.json", 1 << 20);
  CHECK(!missing && missing.error().kind() == zm::ManifestError::Kind::Io);
  // The base directory is lexical: ".." stays as written.
  CHECK_EQ(::mkdir((dir.path + "/sub").c_str(), 0700), 0);
  dir.write(manifest, 0, "sub/m.json");
  auto dotted = zm::load_manifest_file_with_options(dir.path + "/sub/../sub/m.json", 1 << 20);
  CHECK(dotted && dotted->base_dir == dir.path + "/sub/../sub");
}
