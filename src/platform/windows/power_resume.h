#pragma once

#include <functional>
#include <memory>

namespace kolvex::win {

// While it lives, a function is called on a thread of the system's each time the machine
// resumes from sleep or hibernation.
class ResumeWatch {
 public:
  virtual ~ResumeWatch() = default;
};

// Starts watching for resumes, with `resumed` to call; null when the system will not tell. The
// seam through which tests stand in for the machine's sleep.
using WatchResume = std::function<std::unique_ptr<ResumeWatch>(std::function<void()> resumed)>;

// The system's suspend and resume notifications, through a callback: they need no window.
std::unique_ptr<ResumeWatch> watch_resume_from_sleep(std::function<void()> resumed);

}  // namespace kolvex::win
