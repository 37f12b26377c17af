#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "base/error_value.h"
#include "platform/audio_platform.h"
#include "tracking/audio_process_snapshot.h"

namespace kolvex {

struct DefaultCaptureIds {
  std::optional<std::string> communications_default_id;
  std::optional<std::string> console_default_id;
};

// One poll of the platform: a snapshot of every process with audio sessions on the active
// endpoints, ascending by pid. Fails with the context "render endpoint" or "capture endpoint"
// when a pass cannot be walked.
Result<AudioProcessSnapshot> take_audio_process_snapshot(AudioPlatform& platform);

CaptureEndpointRole classify_capture_endpoint(const std::optional<std::string>& endpoint_id,
                                              const DefaultCaptureIds& defaults);

CaptureEndpointRole fold_capture_role(const std::set<CaptureEndpointRole>& capture_roles);

}  // namespace kolvex
