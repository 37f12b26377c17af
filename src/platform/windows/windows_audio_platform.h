#pragma once

#include <memory>

#include "platform/audio_platform.h"
#include "platform/windows/power_resume.h"

namespace kolvex::win {

// Core Audio through COM; every call must come from a thread that has initialised COM.
// `watch_resume` tells the session watch when the machine wakes from sleep.
std::unique_ptr<AudioPlatform> make_windows_audio_platform(
    WatchResume watch_resume = watch_resume_from_sleep);

}  // namespace kolvex::win
