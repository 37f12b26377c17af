#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "output/error_value.h"
#include "platform/audio_platform.h"
#include "tracking/audio_process_snapshot.h"

namespace kolvex {

struct DefaultCaptureIds {
  std::optional<std::string> communications_default_id;
  std::optional<std::string> console_default_id;
};

struct SessionAccumulator {
  std::set<CaptureEndpointRole> capture_roles;
  bool renderActive = false;
  bool captureActive = false;
};

using SessionAccumulators = std::map<std::uint32_t, SessionAccumulator>;

// One poll of the platform: a snapshot of every process with audio sessions on the active
// endpoints, ascending by pid. Fails with the context "render endpoint" or "capture endpoint"
// when a pass cannot be walked.
Result<AudioProcessSnapshot> take_audio_process_snapshot(AudioPlatform& platform);

// `defaults` is given for the capture pass only.
Status collect_endpoint_sessions(AudioDeviceEnumerator& enumerator, DataFlow flow,
                                 const DefaultCaptureIds* defaults,
                                 SessionAccumulators& accumulators);

std::optional<std::string> default_capture_endpoint_id(AudioDeviceEnumerator& enumerator,
                                                       DeviceRole role);

CaptureEndpointRole classify_capture_endpoint(const std::optional<std::string>& endpoint_id,
                                              const DefaultCaptureIds& defaults);

CaptureEndpointRole fold_capture_role(const std::set<CaptureEndpointRole>& capture_roles);

}  // namespace kolvex
