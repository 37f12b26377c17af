#include "output/json_value.h"

#include <algorithm>
#include <cmath>

#include "base/text_encoding.h"

namespace kolvex {

JsonObject::JsonObject(std::initializer_list<Member> members) {
  members_.reserve(members.size());
  for (const Member& m : members) insert(m.first, m.second);
}

void JsonObject::insert(std::string key, JsonValue value) {
  // Kept as it will be written, so that the written keys are unique and in order too.
  if (!is_valid_utf8(key)) key = to_valid_utf8(key);
  if (members_.empty() || members_.back().first < key) {
    members_.emplace_back(std::move(key), std::move(value));
    return;
  }
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

const JsonValue* JsonObject::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  if (it != members_.end() && it->first == key) return &it->second;
  return nullptr;
}

JsonValue::JsonValue(std::int64_t n) {
  if (n >= 0) {
    storage_ = static_cast<std::uint64_t>(n);
  } else {
    storage_ = n;
  }
}

JsonValue::JsonValue(double d) {
  if (std::isfinite(d)) {
    storage_ = d;
  } else {
    storage_ = nullptr;
  }
}

}  // namespace kolvex
