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

// Holds the signals that end a process from outside (SIGTERM, SIGINT, SIGHUP) for as long as
// it lives, so that a line being written is never cut; a signal that came meanwhile acts as
// soon as the hold ends, with the status it would have had. Nothing to hold on Windows.
class TerminationSignalsHeld {
 public:
  TerminationSignalsHeld();
  ~TerminationSignalsHeld();
  TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
  TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

 private:
  // The signals this hold blocked, so that it unblocks no others; none on Windows.
  [[maybe_unused]] unsigned held_ = 0;
};

// Hands every byte to the operating system, retrying partial writes. A process that has no
// such stream counts every write as done and the bytes are dropped.
std::optional<OsError> write_std_stream(StdStream stream, std::string_view bytes);

}  // namespace kolvex
