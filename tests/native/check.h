// A minimal unit-test harness for the core library: TEST registers a case, CHECK and
// CHECK_EQ record failures without stopping the case.
#pragma once

#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace zmtest {

struct Case {
  const char* name;
  std::function<void()> fn;
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}
inline int& failures() {
  static int n = 0;
  return n;
}
struct Registrar {
  Registrar(const char* name, std::function<void()> fn) { registry().push_back({name, std::move(fn)}); }
};

}  // namespace zmtest

#define ZM_CAT2(a, b) a##b
#define ZM_CAT(a, b) ZM_CAT2(a, b)
#define TEST(name)                                                \
  static void name();                                             \
  static zmtest::Registrar ZM_CAT(registrar_, name)(#name, name); \
  static void name()

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      ++zmtest::failures();                                                         \
      std::cerr << __FILE__ << ":" << __LINE__ << ": CHECK failed: " #cond << "\n"; \
    }                                                                               \
  } while (0)

#define CHECK_EQ(a, b)                                                                                        \
  do {                                                                                                        \
    const auto& zm_a = (a);                                                                                   \
    const auto& zm_b = (b);                                                                                   \
    if (!(zm_a == zm_b)) {                                                                                    \
      ++zmtest::failures();                                                                                   \
      std::cerr << __FILE__ << ":" << __LINE__ << ": CHECK_EQ failed: " #a " == " #b << "\n  left:  " << zm_a \
                << "\n  right: " << zm_b << "\n";                                                             \
    }                                                                                                         \
  } while (0)
