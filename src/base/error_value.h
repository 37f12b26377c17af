#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace kolvex {

// What a platform left behind to explain a failure (COM error information on Windows).
class ErrorDetail {
 public:
  virtual ~ErrorDetail() = default;
  // The message that stands in for the system's text for the status; may be empty.
  virtual std::string message() const = 0;
};

// A failed platform call: its status and whatever detail came with it, or an empty error
// (status 0, no detail) for a call that reported success but handed back nothing.
class PlatformError {
 public:
  explicit PlatformError(std::int32_t code, std::unique_ptr<ErrorDetail> detail = nullptr)
      : code_(code), detail_(std::move(detail)) {}
  static PlatformError empty() { return PlatformError(0); }

  std::int32_t code() const { return code_; }
  // "<message> (0x80070005)", or the code text alone when the message is empty.
  std::string text() const;

 private:
  std::int32_t code_;
  std::unique_ptr<ErrorDetail> detail_;
};

// "0x" and the 32 bits of the status as eight upper-case hexadecimal digits.
std::string code_text(std::int32_t code);

// The system's text for a status that came without detail; empty when it has none.
std::string status_message(std::int32_t code);

// A chain of links, outermost first; the last one started the failure.
class ErrorValue {
 public:
  ErrorValue(PlatformError error) { links_.emplace_back(std::move(error)); }

  // Adds an outermost link.
  ErrorValue&& context(std::string text) &&;

  // The texts of all links, outermost first, joined by ": ".
  std::string chained_text() const;
  std::string outermost_text() const;
  const PlatformError* platform_error() const;

 private:
  using Link = std::variant<std::string, PlatformError>;
  static std::string link_text(const Link& link);

  std::vector<Link> links_;  // innermost first, so that adding context is cheap
};

// Either a value or the error that prevented it. Anything that converts to T, and either kind
// of error, converts to a Result, so `return value;` and `return error;` need no wrapping.
template <class T>
class [[nodiscard]] Result {
 public:
  template <class U = T>
  requires(std::is_convertible_v<U&&, T> && !std::is_same_v<std::remove_cvref_t<U>, Result> &&
           !std::is_same_v<std::remove_cvref_t<U>, ErrorValue> &&
           !std::is_same_v<std::remove_cvref_t<U>, PlatformError>) Result(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(ErrorValue error) : state_(std::in_place_index<1>, std::move(error)) {}
  Result(PlatformError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  ErrorValue& error() { return std::get<1>(state_); }
  const ErrorValue& error() const { return std::get<1>(state_); }
  ErrorValue take_error() { return std::move(std::get<1>(state_)); }

 private:
  std::variant<T, ErrorValue> state_;
};

// The outcome of an operation that yields nothing: success, or the error that stopped it.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(ErrorValue error) : error_(std::move(error)) {}
  Status(PlatformError error) : error_(std::in_place, std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  ErrorValue& error() { return *error_; }
  const ErrorValue& error() const { return *error_; }
  ErrorValue take_error() { return std::move(*error_); }

 private:
  std::optional<ErrorValue> error_;
};

}  // namespace kolvex
