#pragma once

#include <cstdint>
#include <string>

namespace kolvex {

// The operating system's text for an error code (errno on POSIX; a Win32 error, an HRESULT or
// an NT status carried in one on Windows), trailing white space removed; empty when the
// system has none.
std::string system_message(std::uint32_t code);

}  // namespace kolvex
