#include <system_error>

#include "base/error_value.h"
#include "base/system_message.h"

namespace kolvex {

std::string system_message(std::uint32_t code) {
  return std::generic_category().message(static_cast<int>(code));
}

// Statuses here are the platform layer's own codes, whose text comes with their detail.
std::string status_message(std::int32_t) {
  return {};
}

}  // namespace kolvex
