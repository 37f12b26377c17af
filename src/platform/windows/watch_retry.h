#pragma once

#include <windows.h>

#include <chrono>

// What the session watch makes of a failed call, and when it tries again.

namespace kolvex::win {

enum class Failure {
  // The system does not offer it (Wine has no session notifications): not asked again until the
  // capture endpoints change.
  refused,
  // The audio service stopped or restarted: nothing held answers any more, and everything is
  // built again once it does.
  service_gone,
  // The endpoint went away or changed: it is built again, if it is still there.
  device_gone,
  // Anything else: tried again later.
  transient,
};

Failure failure_of(HRESULT status);

// When something that failed is tried again: at the first refresh 250 ms or more after it failed,
// the wait doubling with each failure in a row up to 2 s. A flood of refreshes thus repeats a
// failing call at most every two seconds, while the refresh that ends each idle wait of the main
// loop (two seconds) always tries: the watch is whole again at most one poll interval after the
// audio service is back.
class Retry {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  static constexpr std::chrono::milliseconds FIRST_WAIT{250};
  static constexpr std::chrono::milliseconds LONGEST_WAIT{2000};

  bool due(TimePoint now) const { return !refused_ && now >= at_; }
  bool refused() const { return refused_; }

  // What failed with `failure`, at `now`.
  void failed(Failure failure, TimePoint now);
  void succeeded() { *this = Retry(); }
  void forget_refusal() { refused_ = false; }

 private:
  bool refused_ = false;
  std::chrono::milliseconds wait_{0};
  TimePoint at_{};
};

}  // namespace kolvex::win
