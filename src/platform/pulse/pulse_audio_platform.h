#pragma once

#include <memory>

#include "platform/audio_platform.h"

namespace kolvex::pulse {

// The PulseAudio server (or PipeWire's pulse server) that libpulse finds as usual, and /proc
// for executables. Everything but the notifications is used from one thread.
std::unique_ptr<AudioPlatform> make_pulse_audio_platform();

}  // namespace kolvex::pulse
