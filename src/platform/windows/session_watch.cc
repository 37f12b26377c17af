#include "platform/windows/session_watch.h"

#include <audioclient.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/windows/win_resources.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

// What tells one session from another, whichever control stands for it; nothing for a session
// that gives none, which is then left to the poll.
std::optional<std::wstring> instance_of(IAudioSessionControl& control) {
  ComPtr<IAudioSessionControl2> extended;
  CoTaskString id;
  if (FAILED(control.QueryInterface(IID_PPV_ARGS(&extended))) || !extended ||
      FAILED(extended->GetSessionInstanceIdentifier(id.out())) || !id) {
    return std::nullopt;
  }
  return id.get();
}

// Whether the session has ended, or the failure that keeps its control from saying.
HRESULT ended(IAudioSessionControl& control, bool& has_ended) {
  AudioSessionState state = AudioSessionStateInactive;
  const HRESULT status = control.GetState(&state);
  has_ended = SUCCEEDED(status) && state == AudioSessionStateExpired;
  return status;
}

// A failure of one of an endpoint's sessions that is the endpoint's, or the service's.
bool beyond_the_session(HRESULT status) {
  const Failure failure = failure_of(status);
  return failure == Failure::service_gone || failure == Failure::device_gone;
}

template <class T>
bool contains(const std::vector<T>& values, const T& value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

SessionWatch::SessionWatch(ComPtr<IMMDeviceEnumerator> enumerator,
                           std::shared_ptr<EndpointNotificationSink> wake,
                           const WatchResume& watch_resume)
    : enumerator_(std::move(enumerator)), inbox_(std::make_shared<SessionInbox>(std::move(wake))) {
  if (watch_resume) resume_ = watch_resume([inbox = inbox_] { inbox->resumed(); });
  refresh(false);
}

SessionWatch::~SessionWatch() {
  resume_.reset();
  inbox_->close();
  release_all();
}

void SessionWatch::refresh(bool endpoints_changed) {
  now_ = Clock::now();
  const bool resumed = take_news();
  // After a sleep nothing held can be trusted to answer.
  if (resumed) release_all();
  if (resumed || endpoints_changed) {
    resync_ = true;
    sync_retry_ = Retry();  // news: no reason to wait
  }
  if (!service_gone_) update();
  if (service_gone_) {
    service_gone_ = false;
    release_all();
    resync_ = true;
    sync_retry_.failed(Failure::service_gone, now_);
  } else if (!resync_) {
    sync_retry_.succeeded();
  }
}

bool SessionWatch::take_news() {
  SessionInbox::News news = inbox_->take();
  for (const auto& [disconnected, reason] : news.disconnected) {
    // Copied: clang 14 cannot capture a structured binding.
    const std::uint64_t number = disconnected;
    for (Endpoint& endpoint : endpoints_) {
      const auto holds = [number](const Session& session) { return session.number == number; };
      // A late callback of a sink already let go names no session held.
      if (std::none_of(endpoint.sessions.begin(), endpoint.sessions.end(), holds)) continue;
      if (reason == DisconnectReasonServerShutdown) {
        service_gone_ = true;
      } else if (reason == DisconnectReasonDeviceRemoval ||
                 reason == DisconnectReasonFormatChanged) {
        release(endpoint);  // watched anew at once
        endpoint.retry = Retry();
      } else {
        let_go(endpoint, holds);
      }
    }
  }
  for (Endpoint& endpoint : endpoints_) {
    let_go(endpoint,
           [&](const Session& session) { return contains(news.expired, session.number); });
  }
  for (auto& [created_on, control] : news.created) {
    const std::uint64_t number = created_on;
    const auto watching = [number](const Endpoint& e) { return e.manager && e.number == number; };
    const auto endpoint = std::find_if(endpoints_.begin(), endpoints_.end(), watching);
    if (endpoint == endpoints_.end()) continue;  // from a sink let go
    if (std::optional<std::wstring> instance = instance_of(*control.Get())) {
      attach(*endpoint, std::move(*instance), std::move(control));
    }
  }
  return news.resumed;
}

void SessionWatch::update() {
  if (resync_ && sync_retry_.due(now_)) sync_endpoints();
  for (Endpoint& endpoint : endpoints_) {
    if (service_gone_) return;
    if (endpoint.manager) {
      if (list_sessions(endpoint)) register_sessions(endpoint);
    } else if (endpoint.retry.due(now_)) {
      watch_endpoint(endpoint);
    }
  }
}

void SessionWatch::sync_endpoints() {
  std::vector<Endpoint> listed;
  const HRESULT status = list_endpoints(listed);
  if (FAILED(status)) {
    const Failure failure = failure_of(status);
    // One made before the service went away may never answer again.
    if (failure == Failure::service_gone) enumerator_.Reset();
    sync_retry_.failed(failure, now_);
    return;
  }
  resync_ = false;
  const auto listed_id = [&](const std::wstring& id) {
    return std::any_of(listed.begin(), listed.end(), [&](const Endpoint& e) { return e.id == id; });
  };
  const auto gone = std::stable_partition(endpoints_.begin(), endpoints_.end(),
                                          [&](const Endpoint& held) { return listed_id(held.id); });
  bool changed = gone != endpoints_.end();
  std::for_each(gone, endpoints_.end(), [this](Endpoint& endpoint) { release(endpoint); });
  endpoints_.erase(gone, endpoints_.end());
  for (Endpoint& endpoint : listed) {
    const auto held = [&](const Endpoint& e) { return e.id == endpoint.id; };
    if (std::any_of(endpoints_.begin(), endpoints_.end(), held)) continue;
    endpoints_.push_back(std::move(endpoint));
    changed = true;
  }
  if (!changed) return;
  // What was refused may be offered by a new device.
  for (Endpoint& endpoint : endpoints_) {
    endpoint.retry.forget_refusal();
    for (Session& session : endpoint.sessions) session.retry.forget_refusal();
  }
}

HRESULT SessionWatch::list_endpoints(std::vector<Endpoint>& listed) {
  HRESULT status = S_OK;
  if (!enumerator_) {
    status = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              IID_PPV_ARGS(&enumerator_));
    if (FAILED(status) || !enumerator_) return FAILED(status) ? status : E_POINTER;
  }
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  status = enumerator_->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &collection);
  if (SUCCEEDED(status)) status = collection ? collection->GetCount(&count) : E_POINTER;
  if (FAILED(status)) return status;
  for (UINT index = 0; index < count; ++index) {
    Endpoint endpoint;
    CoTaskString id;
    // One that cannot be named is left to the poll.
    if (FAILED(collection->Item(index, &endpoint.device)) || !endpoint.device ||
        FAILED(endpoint.device->GetId(id.out())) || !id) {
      continue;
    }
    endpoint.id = id.get();
    listed.push_back(std::move(endpoint));
  }
  return S_OK;
}

void SessionWatch::watch_endpoint(Endpoint& endpoint) {
  ComPtr<IAudioSessionManager2> manager;
  HRESULT status = endpoint.device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                             IID_PPV_ARGS_Helper(manager.GetAddressOf()));
  if (SUCCEEDED(status) && !manager) status = E_POINTER;
  if (FAILED(status)) return failed(endpoint, status);
  const std::uint64_t number = ++last_number_;
  ComPtr<IAudioSessionNotification> sink = make_session_notification_sink(inbox_, number);
  status = manager->RegisterSessionNotification(sink.Get());
  if (FAILED(status)) return failed(endpoint, status);
  endpoint.number = number;
  endpoint.manager = std::move(manager);
  endpoint.sink = std::move(sink);
  // Until the manager's sessions have been listed once, the service drops its notifications.
  if (!list_sessions(endpoint)) return;
  endpoint.retry.succeeded();
  register_sessions(endpoint);
}

bool SessionWatch::list_sessions(Endpoint& endpoint) {
  ComPtr<IAudioSessionEnumerator> listing;
  HRESULT status = endpoint.manager->GetSessionEnumerator(&listing);
  int count = 0;
  if (SUCCEEDED(status)) status = listing ? listing->GetCount(&count) : E_POINTER;
  if (FAILED(status)) {
    failed(endpoint, status);
    return false;
  }
  std::vector<std::wstring> alive;
  for (int index = 0; index < count; ++index) {
    ComPtr<IAudioSessionControl> control;
    bool has_ended = false;
    if (FAILED(listing->GetSession(index, &control)) || !control ||
        FAILED(ended(*control.Get(), has_ended)) || has_ended) {
      continue;
    }
    std::optional<std::wstring> instance = instance_of(*control.Get());
    if (!instance) continue;
    alive.push_back(*instance);
    attach(endpoint, std::move(*instance), std::move(control));
  }
  // A session missing from the listing (one just announced may be listed late) is asked itself.
  HRESULT trouble = S_OK;
  let_go(endpoint, [&](const Session& session) {
    bool has_ended = false;
    if (contains(alive, session.instance)) return false;
    const HRESULT asked = ended(*session.control.Get(), has_ended);
    if (FAILED(asked) && beyond_the_session(asked)) trouble = asked;
    return has_ended;
  });
  if (FAILED(trouble)) {
    failed(endpoint, trouble);
    return false;
  }
  return true;
}

void SessionWatch::attach(Endpoint& endpoint, std::wstring instance,
                          ComPtr<IAudioSessionControl> control) {
  const auto held = [&](const Session& session) { return session.instance == instance; };
  if (std::any_of(endpoint.sessions.begin(), endpoint.sessions.end(), held)) return;
  endpoint.sessions.push_back(
      Session{++last_number_, std::move(instance), std::move(control), nullptr, Retry()});
}

void SessionWatch::register_sessions(Endpoint& endpoint) {
  for (Session& session : endpoint.sessions) {
    if (session.sink || !session.retry.due(now_)) continue;
    ComPtr<IAudioSessionEvents> sink = make_session_events_sink(inbox_, session.number);
    const HRESULT status = session.control->RegisterAudioSessionNotification(sink.Get());
    if (SUCCEEDED(status)) {
      session.sink = std::move(sink);
      session.retry.succeeded();
    } else if (beyond_the_session(status)) {
      return failed(endpoint, status);  // which lets go of the sessions
    } else {
      session.retry.failed(failure_of(status), now_);
    }
  }
}

void SessionWatch::failed(Endpoint& endpoint, HRESULT status) {
  release(endpoint);
  const Failure failure = failure_of(status);
  endpoint.retry.failed(failure, now_);
  if (failure == Failure::service_gone) service_gone_ = true;
  // Gone while being watched: the endpoints' listing says whether it is still there.
  if (failure == Failure::device_gone) resync_ = true;
}

template <class Predicate>
void SessionWatch::let_go(Endpoint& endpoint, Predicate predicate) {
  std::erase_if(endpoint.sessions, [&](Session& session) {
    if (!predicate(session)) return false;
    // With the very pointer that was registered, and before the control goes.
    if (session.sink) (void)session.control->UnregisterAudioSessionNotification(session.sink.Get());
    return true;
  });
}

void SessionWatch::release(Endpoint& endpoint) {
  let_go(endpoint, [](const Session&) { return true; });
  if (endpoint.sink) (void)endpoint.manager->UnregisterSessionNotification(endpoint.sink.Get());
  endpoint.number = 0;
  endpoint.sink.Reset();
  endpoint.manager.Reset();
}

void SessionWatch::release_all() {
  for (Endpoint& endpoint : endpoints_) release(endpoint);
  endpoints_.clear();
}

}  // namespace kolvex::win
