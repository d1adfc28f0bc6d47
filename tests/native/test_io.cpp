// Bounded reads, streaming hashes, opening a pinned entry, lexical path helpers and
// lossy UTF-8.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "check.h"
#include "base/interrupt.h"
#include "io/bounded_read.h"
#include "io/open_checked.h"
#include "io/read_ahead.h"
#include "io/path.h"
#include "io/sha256.h"
#include "text/utf8.h"

namespace {

std::string temp_file(const std::string& content) {
  char name[] = "/tmp/zm-io-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) std::abort();
  if (!content.empty() && write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    std::abort();
  close(fd);
  return name;
}

}  // namespace

TEST(bounded_read_limit_boundaries) {
  std::string f = temp_file("abcd");
  auto exact = zm::io::read_bounded_file(f, 4, "manifest_file_too_large", "manifest file");
  CHECK(exact && *exact == "abcd");
  auto over = zm::io::read_bounded_file(f, 3, "manifest_file_too_large", "manifest file");
  CHECK(!over);
  if (!over) {
    CHECK(over.error().kind() == zm::ManifestError::Kind::Reason);
    CHECK_EQ(over.error().code(), std::string("manifest_file_too_large"));
    CHECK_EQ(over.error().display(), "manifest_file_too_large: manifest file exceeds 3 bytes while reading " + f);
  }
  CHECK(!zm::io::read_bounded_file(f, 0, "c", "x"));
  CHECK(!zm::io::read_bounded_file("/dev/zero", 0, "c", "x"));
  unlink(f.c_str());
  std::string empty = temp_file("");
  auto e = zm::io::read_bounded_file(empty, 0, "c", "x");
  CHECK(e && e->empty());
  auto d = zm::io::sha256_file_bounded(empty, 5, "c", "x");
  CHECK(d && d->sha256 == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" && d->size_bytes == 0);
  unlink(empty.c_str());
}

// The limit's enforceability is judged after opening: a missing file keeps its OS error
// (the "too large to enforce" text itself is checked through the calibration profile).
TEST(bounded_read_unenforceable_limit_after_open) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  auto missing = zm::io::read_bounded_file("/nonexistent/zm/file", max, "c", "x");
  CHECK(!missing);
  if (!missing) {
    CHECK(missing.error().kind() == zm::ManifestError::Kind::Io);
    CHECK_EQ(missing.error().display(), std::string("No such file or directory (os error 2)"));
  }
}

TEST(lossy_utf8_replaces_each_invalid_sequence) {
  CHECK_EQ(zm::text::lossy_utf8("a\xff" "b\xe2\x82" "c"), std::string("a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c"));
  CHECK_EQ(zm::text::lossy_utf8("\xed\xa0\x80"), std::string("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"));
  CHECK_EQ(zm::text::lossy_utf8("\xf0\x9f\x98\x80"), std::string("\xf0\x9f\x98\x80"));
  CHECK(!zm::text::is_valid_utf8("\xc0\x80"));
}

TEST(parent_dir_is_lexical) {
  const char* cases[][2] = {{"m.json", "."},   {"idx/manifest.json", "idx"}, {"/abs/dir/m.json", "/abs/dir"},
                            {"/", "."},        {"", "."},                    {"a/../m.json", "a/.."},
                            {"a/b/", "a"},     {"../m.json", ".."},          {"a/..", "a"}};
  for (const auto& c : cases) CHECK_EQ(zm::io::parent_dir(c[0]), std::string(c[1]));
}

TEST(join_and_containment) {
  CHECK_EQ(zm::io::join_path(".", "index.zkrq"), std::string("./index.zkrq"));
  CHECK_EQ(zm::io::join_path("/", "x"), std::string("/x"));
  CHECK_EQ(zm::io::join_path("a/", "x"), std::string("a/x"));
  CHECK_EQ(zm::io::join_path("a", ""), std::string("a"));
  CHECK(zm::io::path_within("/a/b", "/a"));
  CHECK(zm::io::path_within("/a", "/a"));
  CHECK(!zm::io::path_within("/ab", "/a"));
  CHECK(zm::io::path_within("/x", "/"));
}

// An entry pinned as a regular file and replaced by a FIFO (with no writer) or by a link
// must be reported as changed at once: the open may not wait for a writer first.
TEST(open_identified_rejects_replaced_entry_without_blocking) {
  char dir_template[] = "/tmp/zm-open-XXXXXX";
  const char* made = mkdtemp(dir_template);
  CHECK(made != nullptr);
  if (made == nullptr) return;
  char* real = realpath(made, nullptr);
  const std::string dir(real);
  free(real);
  const std::string path = dir + "/f", other = dir + "/other";
  for (const char* replacement : {"fifo", "link"}) {
    CHECK(close(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) == 0);
    CHECK(close(open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) == 0);
    auto identity = zm::io::identify_canonical(path);
    CHECK(identity.has_value());
    if (!identity) continue;
    auto same = zm::io::open_identified(path, *identity);
    CHECK(same.has_value());
    if (same) CHECK((fcntl(same->fd(), F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_PATH)) == O_RDONLY);
    unlink(path.c_str());
    if (std::string(replacement) == "fifo") {
      CHECK(mkfifo(path.c_str(), 0644) == 0);
    } else {
      CHECK(symlink(other.c_str(), path.c_str()) == 0);
    }
    alarm(20);  // a regression would block in open: let SIGALRM end the run instead
    auto swapped = zm::io::open_identified(path, *identity);
    alarm(0);
    CHECK(!swapped.has_value() && zm::io::is_file_changed(swapped.error()));
    unlink(path.c_str());
    unlink(other.c_str());
  }
  rmdir(dir.c_str());
}

// A pool worker cannot be interrupted in open(): there a FIFO (a regular file swapped out
// after the check that sent the file to the worker) fails at once, a regular file opens
// as usual with blocking reads, and outside the scope nothing changes.
TEST(regular_opens_only_never_waits_on_a_fifo) {
  char dir_template[] = "/tmp/zm-regular-XXXXXX";
  const char* made = mkdtemp(dir_template);
  CHECK(made != nullptr);
  if (made == nullptr) return;
  const std::string dir(made), fifo = dir + "/fifo", plain = dir + "/plain";
  CHECK(mkfifo(fifo.c_str(), 0644) == 0);
  CHECK(close(open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) == 0);
  {
    zm::interrupt::RegularOpensOnly regular_only;
    alarm(20);  // a regression would wait for a writer: let SIGALRM end the run instead
    auto waited = zm::io::File::open_read(fifo);
    alarm(0);
    CHECK(!waited.has_value() && zm::io::is_file_changed(waited.error()));
    auto file = zm::io::File::open_read(plain);
    CHECK(file.has_value());
    if (file) CHECK((fcntl(file->fd(), F_GETFL) & (O_ACCMODE | O_NONBLOCK)) == O_RDONLY);
  }
  CHECK(!zm::interrupt::regular_opens_only());
  unlink(fifo.c_str());
  unlink(plain.c_str());
  rmdir(dir.c_str());
}

TEST(read_ahead_hash_matches_in_memory_hash_at_every_buffer_boundary) {
  // Sizes around the read-ahead buffer (the first read decides whether a thread runs),
  // its ring, and a stream abandoned with buffers in flight.
  constexpr size_t kBuf = zm::io::ReadAhead::kBufferBytes;
  const size_t sizes[] = {0, 1, kBuf - 1, kBuf, kBuf + 1, 4 * kBuf, 9 * kBuf + 7};
  for (size_t size : sizes) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) >> 7);
    const std::string path = temp_file(data);
    auto digest = zm::io::sha256_stream_file(path);
    CHECK(digest && digest->sha256 == zm::io::sha256_hex(data) && digest->size_bytes == size);
    auto file = zm::io::File::open_read(path);
    CHECK(file.has_value());
    auto early = zm::io::sha256_stream(*file, kBuf);  // stops after the second buffer
    CHECK(early && early->size_bytes == std::min(size, size > kBuf ? 2 * kBuf : size));
    unlink(path.c_str());
  }
}
