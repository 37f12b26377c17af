#pragma once

#include <memory>

#include "platform/audio_platform.h"

namespace kolvex::win {

// Core Audio through COM; every call must come from a thread that has initialised COM.
std::unique_ptr<AudioPlatform> make_windows_audio_platform();

}  // namespace kolvex::win
