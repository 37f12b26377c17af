#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "base/error_value.h"
#include "output/std_stream.h"

namespace kolvex {

// Held for the whole of one line on standard error, so lines never interleave.
std::mutex& stderr_lock();

// "audio session poll failed: <chained text>" on one line. A standard error that cannot be
// written is a fault.
void report_poll_failure(const ErrorValue& error);

// "Error: <outermost text>" on one line, whether or not it can be written, then exit status 1.
[[noreturn]] void exit_with_startup_error(const ErrorValue& error);

// "failed printing to stdout: <system text> (os error N)"
std::string write_failure_text(StdStream stream, const OsError& error);

// How long a fault exit waits for what ReleaseOnFaultExit holds: a release calls into another
// process (the audio service), which may never answer.
inline constexpr std::chrono::seconds FAULT_RELEASE_LIMIT{1};

// The process cannot go on: report it on standard error, naming the main thread, with the
// failure text on a line of its own, run what ReleaseOnFaultExit holds, and exit with status 101,
// FAULT_RELEASE_LIMIT after the report at the latest.
[[noreturn]] void exit_with_fault(std::string_view failure_text);

// While it lives, `release` runs on a fault exit, after the report. That exit runs no
// destructors, so this is how what the process holds outside itself (a notification client
// registered with the audio service) is still given back. `release` runs on the faulting
// thread, possibly inside an output call: it must neither write output nor wait for the
// thread that writes it.
class ReleaseOnFaultExit {
 public:
  explicit ReleaseOnFaultExit(std::function<void()> release);
  ReleaseOnFaultExit(const ReleaseOnFaultExit&) = delete;
  ReleaseOnFaultExit& operator=(const ReleaseOnFaultExit&) = delete;
  ~ReleaseOnFaultExit();

 private:
  const std::function<void()> release_;
};

}  // namespace kolvex
