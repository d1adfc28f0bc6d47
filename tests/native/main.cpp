#include <cstring>

#include "check.h"

int main(int argc, char** argv) {
  int ran = 0;
  for (const auto& c : zmtest::registry()) {
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    int before = zmtest::failures();
    c.fn();
    ++ran;
    if (zmtest::failures() != before) std::cerr << "FAILED " << c.name << "\n";
  }
  int failed = zmtest::failures();
  std::cout << "native: " << ran << " cases, " << failed << " failed checks\n";
  return failed == 0 ? 0 : 1;
}
