#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex {

enum class StdStream { out, err };

inline std::string_view stream_name(StdStream stream) {
  return stream == StdStream::out ? "stdout" : "stderr";
}

// A failed write as the operating system reports it.
struct OsError {
  std::uint32_t code = 0;  // errno on POSIX, the Win32 error code on Windows
  std::string message;     // the system's text for the code, trailing white space removed
};

// Hands every byte to the operating system, retrying partial writes. A process that has no
// such stream counts every write as done and the bytes are dropped.
std::optional<OsError> write_std_stream(StdStream stream, std::string_view bytes);

}  // namespace kolvex
