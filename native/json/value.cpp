#include "json/value.h"

#include <algorithm>

namespace zm::json {

const Value* Value::member(std::string_view key) const {
  const Object* obj = as_object();
  if (obj == nullptr) return nullptr;
  auto it = std::lower_bound(obj->begin(), obj->end(), key,
                             [](const auto& m, std::string_view k) { return std::string_view(m.first) < k; });
  if (it == obj->end() || it->first != key) return nullptr;
  return &it->second;
}

// Numbers of different classes are different values (1 and 1.0 differ), as they are
// written differently.
bool operator==(const Value& a, const Value& b) {
  return a.v == b.v;
}

}  // namespace zm::json
