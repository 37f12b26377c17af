#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kolvex {

class JsonValue;

using JsonArray = std::vector<JsonValue>;

// Compact text that the writer made before, written as it stands, so that a part of an event
// that stays the same from one poll to the next is rendered once. Nothing checks it again.
struct RenderedJson {
  std::string text;

  friend bool operator==(const RenderedJson&, const RenderedJson&) = default;
};

// Members are kept sorted by the bytes of their keys (unsigned, shorter prefix first), so
// insertion order never reaches the output.
class JsonObject {
 public:
  using Member = std::pair<std::string, JsonValue>;

  JsonObject() = default;
  JsonObject(std::initializer_list<Member> members);

  // Replaces the value of a key that is already present. A key that is not UTF-8 is stored as
  // it is written, with U+FFFD for what does not decode.
  void insert(std::string key, JsonValue value);
  const JsonValue* find(std::string_view key) const;

  // Defined after JsonValue: the members' vector may be named while JsonValue is incomplete,
  // but not used.
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;
  std::size_t size() const;
  bool empty() const;
  friend bool operator==(const JsonObject& a, const JsonObject& b);

 private:
  std::vector<Member> members_;
};

class JsonValue {
 public:
  // A non-negative signed integer is held as unsigned, so every integer has one form.
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                               std::string, JsonArray, JsonObject, RenderedJson>;

  JsonValue() : storage_(nullptr) {}
  JsonValue(std::nullptr_t) : storage_(nullptr) {}
  JsonValue(bool b) : storage_(b) {}
  JsonValue(std::uint64_t n) : storage_(n) {}
  JsonValue(std::uint32_t n) : storage_(std::uint64_t{n}) {}
  JsonValue(std::uint8_t n) : storage_(std::uint64_t{n}) {}
  JsonValue(std::int64_t n);
  JsonValue(int n) : JsonValue(std::int64_t{n}) {}
  // NaN and the infinities are not numbers in JSON: they become null.
  JsonValue(double d);
  JsonValue(std::string s) : storage_(std::move(s)) {}
  JsonValue(std::string_view s) : storage_(std::string(s)) {}
  JsonValue(const char* s) : storage_(std::string(s)) {}
  JsonValue(JsonArray a) : storage_(std::move(a)) {}
  JsonValue(JsonObject o) : storage_(std::move(o)) {}
  JsonValue(RenderedJson r) : storage_(std::move(r)) {}

  const Storage& storage() const { return storage_; }

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(storage_); }
  const JsonObject* as_object() const { return std::get_if<JsonObject>(&storage_); }
  const std::string* as_string() const { return std::get_if<std::string>(&storage_); }

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  Storage storage_;
};

inline std::vector<JsonObject::Member>::const_iterator JsonObject::begin() const {
  return members_.begin();
}
inline std::vector<JsonObject::Member>::const_iterator JsonObject::end() const {
  return members_.end();
}
inline std::size_t JsonObject::size() const {
  return members_.size();
}
inline bool JsonObject::empty() const {
  return members_.empty();
}
inline bool operator==(const JsonObject& a, const JsonObject& b) {
  return a.members_ == b.members_;
}

}  // namespace kolvex
