#pragma once

#include <audiopolicy.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/audio_platform.h"

namespace kolvex::win {

// What the session watch's callbacks tell the thread that owns the watch. A callback only
// records here and wakes the main loop; the owner acts on it. It takes two locks one after the
// other, this one and the notice queue's, each held only to add to a list or raise a flag, and
// never waits for anything else. Endpoints and sessions are named by the numbers the owner gave
// their sinks.
class SessionInbox {
 public:
  struct News {
    // New sessions, each with a reference added to the control the service lent the callback.
    std::vector<std::pair<std::uint64_t, Microsoft::WRL::ComPtr<IAudioSessionControl>>> created;
    std::vector<std::uint64_t> expired;
    std::vector<std::pair<std::uint64_t, AudioSessionDisconnectReason>> disconnected;
    // The machine resumed from sleep or hibernation.
    bool resumed = false;
  };

  explicit SessionInbox(std::shared_ptr<EndpointNotificationSink> wake);

  // From the callbacks, on any thread.
  void session_created(std::uint64_t endpoint, IAudioSessionControl& control);
  void state_changed(std::uint64_t session, AudioSessionState state);
  void session_disconnected(std::uint64_t session, AudioSessionDisconnectReason reason);
  void resumed();

  // From the owner's thread, which so releases what the callbacks kept.
  News take();
  // From then on callbacks record nothing and wake nobody; what is left is released here.
  void close();

 private:
  // Unless closed, applies `change` to the news, then wakes the main loop.
  template <class Change>
  void record(Change&& change);

  std::mutex lock_;
  bool closed_ = false;
  News news_;
  std::shared_ptr<EndpointNotificationSink> wake_;
};

// The sink for the new sessions of the endpoint numbered `endpoint` (reference count 1).
Microsoft::WRL::ComPtr<IAudioSessionNotification> make_session_notification_sink(
    std::shared_ptr<SessionInbox> inbox, std::uint64_t endpoint);

// The sink for the state and disconnection of the session numbered `session`.
Microsoft::WRL::ComPtr<IAudioSessionEvents> make_session_events_sink(
    std::shared_ptr<SessionInbox> inbox, std::uint64_t session);

}  // namespace kolvex::win
