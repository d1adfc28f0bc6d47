// Bounded reads, streaming hashes, opening a pinned entry, lexical path helpers (lossy UTF-8 is checked through the
// quoted form).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "base/interrupt.h"
#include "check.h"
#include "io/bounded_read.h"
#include "io/open_checked.h"
#include "io/path.h"
#include "io/read_ahead.h"
#include "io/sha256.h"

using namespace zm::io;

TEST(bounded_read_limit_boundaries) {
  zmtest::TempDir tmp;
  const std::string f = tmp.write("abcd"), empty = tmp.write("");
  auto exact = read_bounded_file(f, 4, "manifest_file_too_large", "manifest file");
  CHECK(exact && *exact == "abcd");
  auto hashed = sha256_file_bounded(f, 4, "c", "x");
  CHECK(hashed && hashed->sha256 == sha256_hex("abcd") && hashed->size_bytes == 4);
  CHECK(!sha256_file_bounded(f, 3, "c", "x"));
  auto over = read_bounded_file(f, 3, "manifest_file_too_large", "manifest file");
  CHECK(!over && over.error().kind() == zm::ManifestError::Kind::Reason);
  if (!over) {
    CHECK_EQ(over.error().code(), std::string("manifest_file_too_large"));
    CHECK_EQ(over.error().display(), "manifest_file_too_large: manifest file exceeds 3 bytes while reading " + f);
  }
  CHECK(!read_bounded_file(f, 0, "c", "x") && !read_bounded_file("/dev/zero", 0, "c", "x"));
  auto e = read_bounded_file(empty, 0, "c", "x");
  CHECK(e && e->empty());
  auto d = sha256_file_bounded(empty, 5, "c", "x");
  CHECK(d && d->sha256 == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" && d->size_bytes == 0);
  // The limit's enforceability is judged after opening: a missing file keeps its OS error (the "too large to enforce"
  // text itself is checked through the calibration profile).
  auto missing = read_bounded_file(tmp.path + "/absent", std::numeric_limits<uint64_t>::max(), "c", "x");
  CHECK(!missing && missing.error().kind() == zm::ManifestError::Kind::Io);
  if (!missing) CHECK_EQ(missing.error().display(), std::string("No such file or directory (os error 2)"));
}

TEST(lexical_path_helpers) {
  const char* parents[][2] = {{"m.json", "."},
                              {"idx/manifest.json", "idx"}, {"/abs/dir/m.json", "/abs/dir"}, {"/", "."}, {"", "."},
                              {"a/../m.json", "a/.."}, {"a/b/", "a"}, {"../m.json", ".."},
                              {"a/..", "a"}};
  for (const auto& c : parents) CHECK_EQ(parent_dir(c[0]), std::string(c[1]));
  const char* joins[][3] = {{".", "index.zkrq", "./index.zkrq"}, {"/", "x", "/x"}, {"a/", "x", "a/x"}, {"a", "", "a"}};
  for (const auto& c : joins) CHECK_EQ(join_path(c[0], c[1]), std::string(c[2]));
  CHECK(path_within("/a/b", "/a") && path_within("/a", "/a") && !path_within("/ab", "/a") && path_within("/x", "/"));
}

// An entry pinned as a regular file and replaced by a FIFO (with no writer) or by a link must be reported as changed at
// once: the open may not wait for a writer first.
TEST(open_identified_rejects_replaced_entry_without_blocking) {
  zmtest::TempDir tmp;
  const std::string path = tmp.path + "/f";
  for (const bool fifo : {true, false}) {
    const std::string other = tmp.write("", 0, "other");
    tmp.write("", 0, "f");
    auto identity = identify_canonical(path);
    CHECK(identity.has_value());
    if (!identity) continue;
    auto same = open_identified(path, *identity);
    CHECK(same && (fcntl(same->fd(), F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_PATH)) == O_RDONLY);
    unlink(path.c_str());
    CHECK((fifo ? mkfifo(path.c_str(), 0644) : symlink(other.c_str(), path.c_str())) == 0);
    alarm(20);  // a regression would block in open: let SIGALRM end the run instead
    auto swapped = open_identified(path, *identity);
    alarm(0);
    CHECK(!swapped.has_value() && is_file_changed(swapped.error()));
    unlink(path.c_str());
  }
}

// A pool worker cannot be interrupted in open(): there a FIFO (a regular file swapped out after the check that sent the
// file to the worker) fails at once, a regular file opens as usual with blocking reads, and outside the scope nothing
// changes.
TEST(regular_opens_only_never_waits_on_a_fifo) {
  zmtest::TempDir tmp;
  const std::string fifo = tmp.path + "/fifo", plain = tmp.write("");
  CHECK(mkfifo(fifo.c_str(), 0644) == 0);
  {
    zm::interrupt::RegularOpensOnly regular_only;
    alarm(20);  // a regression would wait for a writer: let SIGALRM end the run instead
    auto waited = File::open_read(fifo);
    alarm(0);
    CHECK(!waited.has_value() && is_file_changed(waited.error()));
    auto file = File::open_read(plain);
    CHECK(file && (fcntl(file->fd(), F_GETFL) & (O_ACCMODE | O_NONBLOCK)) == O_RDONLY);
  }
  CHECK(!zm::interrupt::regular_opens_only());
}

TEST(read_ahead_hash_matches_in_memory_hash_at_every_buffer_boundary) {
  // Sizes around the read-ahead buffer (the first read decides whether a thread runs), its ring, and a stream abandoned
  // with buffers in flight.
  constexpr size_t kBuf = ReadAhead::kBufferBytes;
  zmtest::TempDir tmp;
  for (size_t size : {size_t{0}, size_t{1}, kBuf - 1, kBuf, kBuf + 1, 4 * kBuf, 9 * kBuf + 7}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131) >> 7);
    const std::string path = tmp.write(data);
    auto digest = sha256_stream_file(path);
    CHECK(digest && digest->sha256 == sha256_hex(data) && digest->size_bytes == size);
    auto file = File::open_read(path);
    CHECK(file.has_value());
    auto early = sha256_stream(*file, kBuf);  // stops after the second buffer
    CHECK(early && early->size_bytes == std::min(size, size > kBuf ? 2 * kBuf : size));
  }
}
