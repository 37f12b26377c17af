#pragma once

#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_platform.h"
#include "platform/windows/session_sinks.h"

namespace kolvex::win {

// Keeps a new-session sink registered with the session manager of every active capture
// endpoint, and an events sink on every capture session, inactive ones too (a call
// application keeps its session between calls), so that a session appearing, starting,
// stopping, ending or losing its device wakes the main loop. The watch writes nothing: the
// poll stays the only source of what is reported.
//
// It belongs to the main thread, which alone creates, registers, unregisters and releases
// anything here: the thread is in the multithreaded apartment that the service's notifications
// need, it already owns the enumerator the watch hangs off, and it is the thread the callbacks
// wake, so no thread of our own is needed. An endpoint or session whose registration is
// refused (Wine has no session notifications) is not watched, and the main loop just polls.
class SessionWatch {
 public:
  SessionWatch(Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator,
               std::shared_ptr<EndpointNotificationSink> wake);
  SessionWatch(const SessionWatch&) = delete;
  SessionWatch& operator=(const SessionWatch&) = delete;
  // Unregisters every sink, then releases what it held.
  ~SessionWatch();

  // Takes in what the callbacks recorded, then lists every watched endpoint's sessions again:
  // a session not held yet is attached, one that has expired or is missing from two listings
  // in a row is let go (ten for one only announced, which the service may list late). Every
  // endpoint is watched anew after `endpoints_changed`, a disconnected session, a device reported
  // invalidated, or a listing of endpoints that failed.
  void refresh(bool endpoints_changed);

 private:
  struct Session {
    std::uint64_t number;
    std::wstring instance;  // the same session handed over twice is held once
    // Both null when the session refused its sink: it is known, and not asked again.
    Microsoft::WRL::ComPtr<IAudioSessionControl> control;
    Microsoft::WRL::ComPtr<IAudioSessionEvents> sink;
    int missed_listings = 0;
    bool listed = false;  // ever
  };
  struct Endpoint {
    std::uint64_t number;
    Microsoft::WRL::ComPtr<IAudioSessionManager2> manager;
    Microsoft::WRL::ComPtr<IAudioSessionNotification> sink;
    std::vector<Session> sessions;
  };
  enum class Listing { done, failed, device_invalidated };

  void watch_all();
  void watch_endpoint(IMMDevice& device);
  Listing list_sessions(Endpoint& endpoint);
  // The session the control stands for, held from now on if it was not; null for one without
  // an instance identifier.
  Session* attach(Endpoint& endpoint, Microsoft::WRL::ComPtr<IAudioSessionControl> control);
  void take_news();
  // Unregisters and lets go of the endpoint's sessions for which `predicate` holds.
  template <class Predicate>
  void let_go(Endpoint& endpoint, Predicate predicate);
  // Unregisters the endpoint's sinks; its objects go with it.
  void release(Endpoint& endpoint);
  void release_all();

  Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator_;
  std::shared_ptr<SessionInbox> inbox_;
  std::vector<Endpoint> endpoints_;
  bool rewatch_ = false;
  std::uint64_t last_number_ = 0;
};

}  // namespace kolvex::win
