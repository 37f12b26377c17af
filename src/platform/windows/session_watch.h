#pragma once

#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_platform.h"
#include "platform/windows/power_resume.h"
#include "platform/windows/session_sinks.h"
#include "platform/windows/watch_retry.h"

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
// wake, so no thread of our own is needed. The callbacks' sinks and the resume watch only
// record news for the main thread (SessionInbox); each sink is released by the main thread,
// after it has unregistered it, with the control or manager it was registered with.
//
// What fails is tried again (Retry), except what the system refuses (Wine has no session
// notifications), which is left to the poll until the capture endpoints change. A failure that
// says the audio service has gone (it restarts after a wake that lost sound, or for a driver),
// a session disconnected by its shutdown, or a resume from sleep, releases everything, and the
// watch is built again from a new listing of the endpoints once the service answers.
class SessionWatch {
 public:
  SessionWatch(Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator,
               std::shared_ptr<EndpointNotificationSink> wake, const WatchResume& watch_resume);
  SessionWatch(const SessionWatch&) = delete;
  SessionWatch& operator=(const SessionWatch&) = delete;
  // Stops the resume watch, unregisters every sink, then releases what it held.
  ~SessionWatch();

  // Takes in what the callbacks recorded, then brings the watch in step: the capture endpoints
  // are listed again after `endpoints_changed` (only those that came or went are watched anew),
  // every watched endpoint's sessions are listed to find those the callbacks missed, and what
  // failed is tried again once due. A session is let go when it expires or is disconnected, as
  // its callbacks or its own control say, never for missing from a listing; one disconnected
  // by its device has its endpoint watched anew.
  void refresh(bool endpoints_changed);

 private:
  using Clock = std::chrono::steady_clock;

  struct Session {
    std::uint64_t number;
    std::wstring instance;  // the same session handed over twice is held once
    // Held until the session has ended; `sink` is null until registered with it.
    Microsoft::WRL::ComPtr<IAudioSessionControl> control;
    Microsoft::WRL::ComPtr<IAudioSessionEvents> sink;
    Retry retry;
  };
  struct Endpoint {
    std::wstring id;
    Microsoft::WRL::ComPtr<IMMDevice> device;
    // While watched: the number its sink calls with, the manager and the sink registered with it.
    std::uint64_t number = 0;
    Microsoft::WRL::ComPtr<IAudioSessionManager2> manager;
    Microsoft::WRL::ComPtr<IAudioSessionNotification> sink;
    std::vector<Session> sessions;
    Retry retry;
  };

  // True when the machine resumed.
  bool take_news();
  void update();
  void sync_endpoints();
  // The active capture endpoints' ids and devices, or why they could not be listed.
  HRESULT list_endpoints(std::vector<Endpoint>& listed);
  void watch_endpoint(Endpoint& endpoint);
  // False when the listing failed, which `failed` has dealt with.
  bool list_sessions(Endpoint& endpoint);
  // Holds the session the control stands for, if not held yet, to be registered with.
  void attach(Endpoint& endpoint, std::wstring instance,
              Microsoft::WRL::ComPtr<IAudioSessionControl> control);
  void register_sessions(Endpoint& endpoint);
  // Releases the endpoint, and acts on the failure: a retry, or the whole watch built anew.
  void failed(Endpoint& endpoint, HRESULT status);
  // Unregisters and lets go of the endpoint's sessions for which `predicate` holds.
  template <class Predicate>
  void let_go(Endpoint& endpoint, Predicate predicate);
  // Unregisters the endpoint's sinks and releases what it held but the device.
  void release(Endpoint& endpoint);
  void release_all();

  Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator_;  // a new one after the service's loss
  std::shared_ptr<SessionInbox> inbox_;
  std::unique_ptr<ResumeWatch> resume_;
  std::vector<Endpoint> endpoints_;
  bool resync_ = true;  // the endpoints are to be listed again
  Retry sync_retry_;    // of that listing, and of the whole watch after the service's loss
  bool service_gone_ = false;
  Clock::time_point now_;  // of the refresh under way
  std::uint64_t last_number_ = 0;
};

}  // namespace kolvex::win
