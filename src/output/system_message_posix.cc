#include <system_error>

#include "output/system_message.h"

namespace kolvex {

std::string system_message(std::uint32_t code) {
  return std::generic_category().message(static_cast<int>(code));
}

}  // namespace kolvex
