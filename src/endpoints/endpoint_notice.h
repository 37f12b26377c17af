#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace kolvex {

// Raw platform values, unmapped; the variant's index is the notice's kind.
struct StateChanged {
  std::uint32_t new_state = 0;  // DEVICE_STATE_* bits as delivered
  std::string device_id;
};
struct Added {
  std::string device_id;
};
struct Removed {
  std::string device_id;
};
struct DefaultChanged {
  std::int32_t flow = 0;                 // EDataFlow
  std::int32_t role = 0;                 // ERole
  std::optional<std::string> device_id;  // absent: no id, or one that did not decode
};

using EndpointChange = std::variant<StateChanged, Added, Removed, DefaultChanged>;

struct EndpointNotice {
  EndpointChange change;
  double ts = 0.0;  // when the callback ran
};

}  // namespace kolvex
