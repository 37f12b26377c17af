#include "platform/pulse/session_moves.h"

#include <algorithm>

namespace kolvex::pulse {
namespace {

bool running(const SessionValues& session) {
  return session.endpoint_index != PA_INVALID_INDEX && !session.corked;
}

}  // namespace

bool SessionMoves::in_passing(const std::vector<SessionValues>& now,
                              const std::vector<SessionValues>& before) const {
  return std::ranges::any_of(now, [&](const SessionValues& session) {
    if (running(session)) return false;
    if (std::ranges::find(running_, session.index) != running_.end()) return true;
    return std::ranges::none_of(before, [&session](const SessionValues& earlier) {
      return earlier.index == session.index && earlier.endpoint_index == session.endpoint_index &&
             earlier.corked == session.corked;
    });
  });
}

void SessionMoves::reported(const std::vector<SessionValues>& sessions) {
  running_.clear();
  for (const SessionValues& session : sessions) {
    if (running(session)) running_.push_back(session.index);
  }
}

}  // namespace kolvex::pulse
