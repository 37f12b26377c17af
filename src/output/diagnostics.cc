#include "output/diagnostics.h"

#include <cstdlib>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

namespace kolvex {
namespace {

// Standard error is unbuffered: each piece goes to the system as soon as it is produced.
std::optional<OsError> write_pieces(std::initializer_list<std::string_view> pieces) {
  std::lock_guard<std::mutex> guard(stderr_lock());
  for (std::string_view piece : pieces) {
    if (std::optional<OsError> error = write_std_stream(StdStream::err, piece)) return error;
  }
  return std::nullopt;
}

struct FaultReleases {
  // Recursive: a release runs with it held, and may destroy another ReleaseOnFaultExit or fault
  // in its turn on that same thread.
  std::recursive_mutex lock;
  std::vector<const std::function<void()>*> registered;
};

FaultReleases& fault_releases() {
  static FaultReleases* releases = new FaultReleases;
  return *releases;
}

// Ends the process with status 101 once the releases have had their time, whether or not they
// have returned. False when no thread could be started to do it.
bool limit_the_releases() {
  try {
    std::thread([] {
      std::this_thread::sleep_for(FAULT_RELEASE_LIMIT);
      std::_Exit(101);
    }).detach();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::mutex& stderr_lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

void report_poll_failure(const ErrorValue& error) {
  const std::string text = error.chained_text();
  if (std::optional<OsError> failed = write_pieces({"audio session poll failed: ", text, "\n"})) {
    exit_with_fault(write_failure_text(StdStream::err, *failed));
  }
}

void exit_with_startup_error(const ErrorValue& error) {
  (void)write_pieces({"Error: ", error.outermost_text(), "\n"});
  std::exit(1);
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
  // Nothing more can be reported if standard error fails too.
  (void)write_pieces({"fatal error in thread 'main':\n", failure_text, "\n"});
  FaultReleases& releases = fault_releases();
  // Never unlocked: no release may be destroyed on another thread while or after it runs.
  releases.lock.lock();
  const auto registered = std::exchange(releases.registered, {});
  // A release that could hang with nothing to end it is better not run at all: the audio service
  // drops what a process that has gone had registered.
  if (!limit_the_releases()) std::_Exit(101);
  // Latest first, as destructors would run.
  for (auto it = registered.rbegin(); it != registered.rend(); ++it) {
    try {
      (**it)();
    } catch (...) {
      // The exit is decided; a release that fails does not change it.
    }
  }
  std::_Exit(101);
}

ReleaseOnFaultExit::ReleaseOnFaultExit(std::function<void()> release)
    : release_(std::move(release)) {
  FaultReleases& releases = fault_releases();
  std::lock_guard<std::recursive_mutex> guard(releases.lock);
  releases.registered.push_back(&release_);
}

ReleaseOnFaultExit::~ReleaseOnFaultExit() {
  FaultReleases& releases = fault_releases();
  std::lock_guard<std::recursive_mutex> guard(releases.lock);
  std::erase(releases.registered, &release_);
}

}  // namespace kolvex
