#pragma once

#include <windows.h>

#include <audioclient.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kolvex::win {

// The calls of the fake Core Audio whose outcome a script can choose.
enum class Call {
  create_instance,      // IClassFactory::CreateInstance, on behalf of CoCreateInstance
  enum_endpoints,       // IMMDeviceEnumerator::EnumAudioEndpoints
  endpoint_count,       // IMMDeviceCollection::GetCount
  default_endpoint,     // IMMDeviceEnumerator::GetDefaultAudioEndpoint
  device,               // IMMDeviceEnumerator::GetDevice
  item,                 // IMMDeviceCollection::Item, fetching this endpoint
  get_id,               // IMMDevice::GetId
  activate,             // IMMDevice::Activate
  query_endpoint,       // IMMDevice::QueryInterface(IMMEndpoint)
  data_flow,            // IMMEndpoint::GetDataFlow
  session_enumerator,   // IAudioSessionManager2::GetSessionEnumerator
  session_count,        // IAudioSessionEnumerator::GetCount
  get_session,          // IAudioSessionEnumerator::GetSession, fetching this session
  query_control2,       // IAudioSessionControl::QueryInterface(IAudioSessionControl2)
  process_id,           // IAudioSessionControl2::GetProcessId
  state,                // IAudioSessionControl::GetState
  register_client,      // IMMDeviceEnumerator::RegisterEndpointNotificationCallback
  unregister_client,    // IMMDeviceEnumerator::UnregisterEndpointNotificationCallback
  register_sessions,    // IAudioSessionManager2::RegisterSessionNotification
  unregister_sessions,  // IAudioSessionManager2::UnregisterSessionNotification
  register_events,      // IAudioSessionControl::RegisterAudioSessionNotification
  unregister_events,    // IAudioSessionControl::UnregisterAudioSessionNotification
};

// How a scripted call ends. A failing status fails it, leaving `error_description` as the
// thread's COM error information when given; no_object makes it succeed without handing
// anything back; any other success status is returned along with the normal result.
struct Outcome {
  HRESULT status = S_OK;
  bool no_object = false;
  std::u16string error_description;
  // For so many calls, then the call goes as unscripted; -1 for every call.
  mutable int times = -1;
  bool never_returns = false;  // an audio service that does not answer
};
inline Outcome returns(HRESULT status, std::u16string error_description = {}) {
  return {status, false, std::move(error_description)};
}
inline Outcome no_object() {
  return {S_OK, true, {}};
}
inline Outcome fails_once(HRESULT status) {
  return {status, false, {}, 1};
}
inline Outcome never_returns() {
  return {S_OK, false, {}, -1, true};
}

using Outcomes = std::map<Call, Outcome>;

struct ScriptedSession {
  std::uint32_t pid = 0;
  AudioSessionState state = AudioSessionStateActive;
  Outcomes outcomes;  // get_session, query_control2, process_id, state, register_events
  // GetSessionInstanceIdentifier's answer; "<endpoint id>#<index>" when empty.
  std::u16string instance{};
};

struct ScriptedEndpoint {
  std::u16string id;
  EDataFlow flow = eCapture;
  std::vector<ScriptedSession> sessions;
  // item, get_id, activate, query_endpoint, data_flow, session_enumerator, session_count,
  // register_sessions
  Outcomes outcomes;
  DWORD state = DEVICE_STATE_ACTIVE;
};

struct CoreAudioScript {
  std::vector<ScriptedEndpoint> endpoints;  // in collection order
  std::map<ERole, std::u16string> capture_defaults;
  // create_instance, default_endpoint, device, register_client, unregister_client
  Outcomes outcomes;
  std::map<EDataFlow, Outcomes> flow_outcomes;  // enum_endpoints, endpoint_count
  // Found by GetDevice but never listed: endpoints that arrived after the listing.
  std::vector<ScriptedEndpoint> arrivals;
};

// A scripted Core Audio, registered as this process's MMDeviceEnumerator class while alive, so
// CoCreateInstance hands out its enumerator. Every object it makes counts its references.
class FakeCoreAudio {
 public:
  explicit FakeCoreAudio(CoreAudioScript script);
  FakeCoreAudio(const FakeCoreAudio&) = delete;
  FakeCoreAudio& operator=(const FakeCoreAudio&) = delete;
  ~FakeCoreAudio();

  HRESULT registration_status() const { return registration_status_; }
  // To change between polls, while no object made from the script is alive.
  CoreAudioScript& script();
  void revoke();

  // Every scripted call received, with its arguments, in order.
  const std::vector<std::string>& calls() const;
  // From now on also writes each call to `out` as it is received, as a line "call: <call>": a
  // process that ends without destructors keeps no other record of them.
  void echo_calls(std::FILE* out);
  // Objects still referenced or released once too often, e.g. "IMMDevice mic: 1 reference".
  // Meaningful once the code under test is done and the class is revoked.
  std::vector<std::string> unreleased() const;
  std::size_t objects_made() const;

  // The registered notification client, kept without a reference as the audio service does.
  IMMNotificationClient* notification_client() const;
  // Calls `notify` with the registered client, if there is one, on a thread of its own, as the
  // audio service does. Unregistering waits for it to return.
  std::jthread notify(std::function<void(IMMNotificationClient&)> notify) const;

  // What the service does when sessions change, on the calling thread, which may be any: the
  // script changes first, then the sinks registered for it are called, as the service calls
  // them. Unregistering waits for them to return. A session is named by its instance id.
  // A new session on the endpoint; its control is lent to each sink for the call.
  void create_session(const std::u16string& endpoint, ScriptedSession session);
  // An expired session also leaves the script.
  void change_state(const std::u16string& instance, AudioSessionState state);
  void disconnect(const std::u16string& instance, AudioSessionDisconnectReason reason);
  // The default capture endpoint for `role`, and the registered client told of it.
  void change_default(ERole role, const std::u16string& endpoint);
  // The audio service stops: what it made so far, and with `enumerator_too` what the endpoint
  // side made, answers `answer` from then on, as objects from before a restart never come back.
  // Its sessions end (their sinks are told ServerShutdown if `sessions_told`), and the
  // registrations it held go, with their references. Until it starts again, activating a
  // session manager fails with `answer` too.
  struct ServiceStop {
    HRESULT answer = AUDCLNT_E_SERVICE_NOT_RUNNING;
    bool sessions_told = true;
    bool enumerator_too = false;
  };
  void stop_service(ServiceStop stop);
  void start_service();
  // A new control of a scripted session, with the caller's reference.
  Microsoft::WRL::ComPtr<IAudioSessionControl> session_control(const std::u16string& instance);
  // With a reference of the caller's: the sinks registered for the session or endpoint now.
  std::vector<Microsoft::WRL::ComPtr<IAudioSessionEvents>> events_sinks(
      const std::u16string& instance) const;
  std::vector<Microsoft::WRL::ComPtr<IAudioSessionNotification>> session_sinks(
      const std::u16string& endpoint) const;
  // Sinks registered with session managers and sessions right now.
  std::size_t registered_sinks() const;
  // Objects that hold references right now.
  std::size_t referenced_objects() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
  HRESULT registration_status_ = E_FAIL;
  DWORD cookie_ = 0;
};

}  // namespace kolvex::win
