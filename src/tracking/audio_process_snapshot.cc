#include "tracking/audio_process_snapshot.h"

namespace kolvex {

std::string_view to_text(CaptureEndpointRole role) {
  switch (role) {
    case CaptureEndpointRole::communications:
      return "communications";
    case CaptureEndpointRole::system_default:
      return "system_default";
    case CaptureEndpointRole::other:
      return "other";
    case CaptureEndpointRole::ambiguous:
      return "ambiguous";
    case CaptureEndpointRole::unknown:
      return "unknown";
  }
  // A byte outside the enumerators says nothing about the endpoint.
  return "unknown";
}

}  // namespace kolvex
