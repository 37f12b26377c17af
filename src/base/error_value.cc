#include "base/error_value.h"

#include <cstdio>

namespace kolvex {

std::string code_text(std::int32_t code) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X",
                static_cast<unsigned>(static_cast<std::uint32_t>(code)));
  return text;
}

std::string PlatformError::text() const {
  const std::string message = detail_ ? detail_->message() : status_message(code_);
  if (message.empty()) return code_text(code_);
  return message + " (" + code_text(code_) + ")";
}

ErrorValue&& ErrorValue::context(std::string text) && {
  links_.emplace_back(std::move(text));
  return std::move(*this);
}

std::string ErrorValue::link_text(const Link& link) {
  if (const std::string* context = std::get_if<std::string>(&link)) return *context;
  return std::get<PlatformError>(link).text();
}

std::string ErrorValue::chained_text() const {
  std::string text;
  for (auto it = links_.rbegin(); it != links_.rend(); ++it) {
    if (it != links_.rbegin()) text += ": ";
    text += link_text(*it);
  }
  return text;
}

std::string ErrorValue::outermost_text() const {
  return link_text(links_.back());
}

const PlatformError* ErrorValue::platform_error() const {
  return std::get_if<PlatformError>(&links_.front());
}

}  // namespace kolvex
