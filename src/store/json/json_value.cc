#include "store/json/json_value.h"

#include <algorithm>
#include <string_view>

namespace vedra {

const JsonValue* JsonValue::find(std::string_view key) const {
  const JsonObject& o = as_object();
  auto it = std::lower_bound(o.begin(), o.end(), key,
                             [](const JsonMember& m, std::string_view k) { return std::string_view(m.key) < k; });
  if (it == o.end() || it->key != key) return nullptr;
  return &it->value;
}

void normalize_object(JsonObject& members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; });
  // Keep the last of each run of equal keys.
  size_t out = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  members.resize(out);
}

}  // namespace vedra
