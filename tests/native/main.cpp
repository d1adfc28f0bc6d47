#include <cstring>

#include "check.h"

int main(int argc, char** argv) {
  int ran = 0;
  for (const auto& c : zmtest::Registry::cases()) {
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    const int before = zmtest::failures;
    c.fn();
    ++ran;
    if (zmtest::failures != before) std::cerr << "FAILED " << c.name << "\n";
  }
  std::cout << "native: " << ran << " cases, " << zmtest::failures << " failed checks\n";
  return zmtest::failures == 0 ? 0 : 1;
}
