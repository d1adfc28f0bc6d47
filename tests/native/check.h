// A minimal unit-test harness for the core library: TEST registers a case; CHECK, CHECK_CTX (naming the case) and
// CHECK_EQ record failures without stopping it; TempDir holds its files. The standard headers below serve every test
// file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace zmtest {

struct Case {
  const char* name;
  std::function<void()> fn;
};
struct Registry {
  static std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
  }
  Registry(const char* name, std::function<void()> fn) { cases().push_back({name, std::move(fn)}); }
};
inline int failures = 0;

}  // namespace zmtest

#define ZM_CAT2(a, b) a##b
#define ZM_CAT(a, b) ZM_CAT2(a, b)
#define TEST(name)                                              \
  static void name();                                           \
  static zmtest::Registry ZM_CAT(registrar_, name)(#name, name); \
  static void name()

#define CHECK_CTX(cond, context)                                                                \
  do {                                                                                          \
    if (!(cond)) {                                                                              \
      ++zmtest::failures;                                                                       \
      std::cerr << __FILE__ << ":" << __LINE__ << ": CHECK failed: " #cond << context << "\n"; \
    }                                                                                           \
  } while (0)
#define CHECK(cond) CHECK_CTX(cond, "")
#define CHECK_EQ(a, b)                                                                            \
  do {                                                                                            \
    const auto& zm_a = (a);                                                                       \
    const auto& zm_b = (b);                                                                       \
    CHECK_CTX(zm_a == zm_b, "\n  " #a " == " #b "\n  left:  " << zm_a << "\n  right: " << zm_b); \
  } while (0)

namespace zmtest {

// A private directory (its canonical path), removed with its contents when the case ends.
struct TempDir {
  std::string path;
  int files = 0;
  TempDir() {
    char tmpl[] = "/tmp/zm-test-XXXXXX", real[PATH_MAX];
    if (mkdtemp(tmpl) == nullptr || realpath(tmpl, real) == nullptr) std::abort();
    path = real;
  }
  ~TempDir() { CHECK_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0); }
  // A new file holding `bytes` and then `hole` zero bytes left as a sparse hole (huge sizes cost no disk); named
  // `name`, or numbered when empty. Returns its path.
  std::string write(std::string_view bytes, uint64_t hole = 0, const std::string& name = "") {
    const std::string p = path + "/" + (name.empty() ? "f" + std::to_string(files++) : name);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    CHECK(fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
          ::ftruncate(fd, static_cast<off_t>(bytes.size() + hole)) == 0);
    ::close(fd);
    return p;
  }
};

}  // namespace zmtest
