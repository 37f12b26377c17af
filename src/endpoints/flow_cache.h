#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/audio_platform.h"

namespace kolvex {

// Our own codes, not the platform's data-flow values (where capture is 1); they double as
// the scope of lifecycle events.
enum class FlowLabel : std::uint8_t { capture = 0, render = 1, unknown = 2 };

// Endpoint id to label; never holds `unknown`.
using EndpointFlowCache = std::unordered_map<std::string, FlowLabel>;

// Every capture and then every render endpoint in any state; whatever cannot be read is left
// out.
EndpointFlowCache build_flow_cache(AudioDeviceEnumerator& enumerator);

// The cached label, else the platform's answer; `unknown` when there is none. The cache is
// not changed: storing the answer is the caller's decision.
FlowLabel resolve_flow(AudioDeviceEnumerator& enumerator, const EndpointFlowCache& cache,
                       std::string_view device_id);

}  // namespace kolvex
