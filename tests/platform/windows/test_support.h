#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/error_value.h"
#include "bin/detector.h"
#include "fake_core_audio.h"

namespace kolvex::win {

// The calling thread in the multithreaded apartment for the life of the object, and without COM
// error information after it.
class ComThread {
 public:
  ComThread();
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;
  ~ComThread();

  // The failure's text when initialisation failed, else empty.
  const std::string& failure() const { return failure_; }

 private:
  std::string failure_;
};

// What the system says about `status` (FormatMessageW, trailing white space removed), and the
// error text that goes with it when no COM error information is there.
std::string system_text(HRESULT status);
std::string expected_text(HRESULT status);

std::string utf8(std::wstring_view text);

bool running_under_wine();

// Runs the detector on `script` with its standard output a pipe whose reader is gone, so that
// it ends with a fault exit at its first line, its calls into the fake echoed on standard error.
[[noreturn]] void run_with_reader_gone(CoreAudioScript script);

// The detector's lines in full, each with the time it came, and a timestamp that is a number
// written as "<ts>".
struct LineRecorder : DetectorOutput {
  void emit(const JsonValue& event) override;
  void report_poll_failure(const ErrorValue& error) override;
  std::vector<std::string> lifecycle_lines() const;

  std::vector<std::string> lines;
  std::vector<std::chrono::steady_clock::time_point> times;
};

}  // namespace kolvex::win
