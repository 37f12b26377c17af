#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "output/error_value.h"
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

// The process cannot go on: report it on standard error, naming the main thread, with the
// failure text on a line of its own, and exit with status 101.
[[noreturn]] void exit_with_fault(std::string_view failure_text);

}  // namespace kolvex
