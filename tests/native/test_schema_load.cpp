// Loading a manifest file: size limit at its boundary, parse errors carried as Json
// errors, base directory and path kept as given.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "check.h"
#include "manifest/load.h"

namespace {

const std::string kManifest =
    R"({"schema_version":"zarnik.index_manifest.v1","manifest_id":"m","created_at":"2024-01-01T00:00:00Z",)"
    R"("artifact":{"path":"i","sha256":"s","kind":"rank","format_version":1,"dim":8,"vector_count":1,)"
    R"("bytes_per_vec":8,"params":{"kind":"rank"},"file_size_bytes":9},"embedding":{"model":"m","dim":8},)"
    R"("row_identity":{"kind":"row_id_identity","row_count":1}})";

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/zm_load_XXXXXX";
    path = mkdtemp(tmpl);
  }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::string p = path + "/" + name;
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    CHECK(fd >= 0);
    CHECK_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    return p;
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path + "'";
    CHECK_EQ(system(cmd.c_str()), 0);
  }
};

}  // namespace

// The size limit's boundary and its message are checked through inspect_manifest.
TEST(load_size_limit_zero_and_base_dir) {
  TempDir dir;
  std::string p = dir.write("m.json", kManifest);
  auto ok = zm::load_manifest_file_with_options(p, kManifest.size());
  CHECK(ok && ok->base_dir == dir.path && ok->manifest_path == p);
  // A limit of 0 refuses every non-empty manifest; an empty file then fails to parse.
  auto zero = zm::load_manifest_file_with_options(p, 0);
  CHECK(!zero && zero.error().code() == "manifest_file_too_large");
  std::string empty = dir.write("empty.json", "");
  auto e = zm::load_manifest_file_with_options(empty, 0);
  CHECK(!e.has_value());
  if (!e) CHECK_EQ(e.error().display(), std::string("EOF while parsing a value at line 1 column 0"));
}

TEST(load_parse_outcomes) {
  TempDir dir;
  auto two = zm::load_manifest_file_with_options(dir.write("two.json", kManifest + "\n{}"), 1 << 20);
  CHECK(!two && two.error().kind() == zm::ManifestError::Kind::Json);
  auto missing = zm::load_manifest_file_with_options(dir.path + "/absent.json", 1 << 20);
  CHECK(!missing.has_value());
  if (!missing) CHECK(missing.error().kind() == zm::ManifestError::Kind::Io);
  // The base directory is lexical: ".." stays as written.
  std::string sub = dir.path + "/sub";
  CHECK_EQ(::mkdir(sub.c_str(), 0700), 0);
  dir.write("sub/m.json", kManifest);
  auto dotted = zm::load_manifest_file_with_options(dir.path + "/sub/../sub/m.json", 1 << 20);
  CHECK(dotted.has_value());
  if (dotted) CHECK_EQ(dotted->base_dir, dir.path + "/sub/../sub");
}
