#include "tracking/audio_process_snapshot.h"

#include <algorithm>
#include <array>

namespace kolvex {

std::string_view to_text(CaptureEndpointRole role) {
  constexpr std::array<std::string_view, 5> WORDS = {"communications", "system_default", "other",
                                                     "ambiguous", "unknown"};
  // A byte outside the enumerators says nothing about the endpoint.
  return WORDS[std::min(static_cast<std::size_t>(role), WORDS.size() - 1)];
}

}  // namespace kolvex
