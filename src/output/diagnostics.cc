#include "output/fault.h"

#include <cstdlib>

namespace kolvex {

std::mutex& stderr_lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::string write_failure_text(StdStream stream, const OsError& error) {
  std::string text = "failed printing to ";
  text += stream_name(stream);
  text += ": ";
  text += error.message;
  text += " (os error ";
  text += std::to_string(error.code);
  text += ')';
  return text;
}

// Only the main thread writes output, so a fault is always the main thread's.
void exit_with_fault(std::string_view failure_text) {
  {
    std::lock_guard<std::mutex> guard(stderr_lock());
    // Nothing more can be reported if standard error fails too.
    (void)write_std_stream(StdStream::err, "fatal error in thread 'main':\n");
    (void)write_std_stream(StdStream::err, failure_text);
    (void)write_std_stream(StdStream::err, "\n");
  }
  std::_Exit(101);
}

}  // namespace kolvex
