#pragma once

#include <cstdint>

#include "base/error_value.h"

namespace kolvex::pulse {

// libpulse error numbers travel in an HRESULT-shaped code of their own: failure and customer
// bits set, facility 0x050, the error number in the low 16 bits. PA_ERR_CONNECTIONREFUSED (6)
// is 0xA0500006, so the code a user sees is the same on every machine and easy to search for.
inline constexpr std::uint32_t PULSE_CODE_BASE = 0xA0500000u;

std::int32_t pulse_code(int pa_error);

// The error's text is libpulse's own (pa_strerror), e.g. "Connection refused (0xA0500006)".
PlatformError pulse_error(int pa_error);

}  // namespace kolvex::pulse
