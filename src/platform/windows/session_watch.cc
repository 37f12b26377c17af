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

bool expired(IAudioSessionControl& control) {
  AudioSessionState state = AudioSessionStateInactive;
  return SUCCEEDED(control.GetState(&state)) && state == AudioSessionStateExpired;
}

}  // namespace

SessionWatch::SessionWatch(ComPtr<IMMDeviceEnumerator> enumerator,
                           std::shared_ptr<EndpointNotificationSink> wake)
    : enumerator_(std::move(enumerator)), inbox_(std::make_shared<SessionInbox>(std::move(wake))) {
  watch_all();
}

SessionWatch::~SessionWatch() {
  inbox_->close();
  release_all();
}

void SessionWatch::refresh(bool endpoints_changed) {
  take_news();
  if (endpoints_changed) rewatch_ = true;
  for (Endpoint& endpoint : endpoints_) {
    if (rewatch_) break;
    if (list_sessions(endpoint) == Listing::device_invalidated) rewatch_ = true;
  }
  if (rewatch_) {
    release_all();
    watch_all();
  }
}

void SessionWatch::watch_all() {
  rewatch_ = false;
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  if (FAILED(enumerator_->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &collection)) ||
      !collection || FAILED(collection->GetCount(&count))) {
    rewatch_ = true;  // at the next refresh
    return;
  }
  for (UINT index = 0; index < count; ++index) {
    ComPtr<IMMDevice> device;
    if (SUCCEEDED(collection->Item(index, &device)) && device) watch_endpoint(*device.Get());
  }
}

void SessionWatch::watch_endpoint(IMMDevice& device) {
  ComPtr<IAudioSessionManager2> manager;
  if (FAILED(device.Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                             IID_PPV_ARGS_Helper(manager.GetAddressOf()))) ||
      !manager) {
    return;
  }
  Endpoint endpoint{++last_number_, std::move(manager), nullptr, {}};
  endpoint.sink = make_session_notification_sink(inbox_, endpoint.number);
  if (FAILED(endpoint.manager->RegisterSessionNotification(endpoint.sink.Get()))) return;
  // Until the manager's sessions have been listed once, the service drops its notifications.
  const Listing listing = list_sessions(endpoint);
  if (listing == Listing::done) {
    endpoints_.push_back(std::move(endpoint));
    return;
  }
  release(endpoint);
  // Gone while being watched: the endpoints are listed again at the next refresh.
  if (listing == Listing::device_invalidated) rewatch_ = true;
}

SessionWatch::Listing SessionWatch::list_sessions(Endpoint& endpoint) {
  ComPtr<IAudioSessionEnumerator> listing;
  HRESULT status = endpoint.manager->GetSessionEnumerator(&listing);
  int count = 0;
  if (SUCCEEDED(status)) status = listing ? listing->GetCount(&count) : E_POINTER;
  if (status == AUDCLNT_E_DEVICE_INVALIDATED) return Listing::device_invalidated;
  if (FAILED(status)) return Listing::failed;
  std::vector<std::uint64_t> listed;
  for (int index = 0; index < count; ++index) {
    ComPtr<IAudioSessionControl> control;
    if (FAILED(listing->GetSession(index, &control)) || !control || expired(*control.Get())) {
      continue;
    }
    if (Session* session = attach(endpoint, std::move(control))) {
      session->listed = true;
      listed.push_back(session->number);
    }
  }
  for (Session& session : endpoint.sessions) {
    const bool seen = std::find(listed.begin(), listed.end(), session.number) != listed.end();
    session.missed_listings = seen ? 0 : session.missed_listings + 1;
  }
  // One announced by a callback may not be listed for a while, but not for ever.
  let_go(endpoint, [](const Session& session) {
    return session.missed_listings >= (session.listed ? 2 : 10);
  });
  return Listing::done;
}

SessionWatch::Session* SessionWatch::attach(Endpoint& endpoint,
                                            ComPtr<IAudioSessionControl> control) {
  std::optional<std::wstring> instance = instance_of(*control.Get());
  if (!instance) return nullptr;
  for (Session& held : endpoint.sessions) {
    if (held.instance == *instance) return &held;
  }
  Session session{++last_number_, std::move(*instance), nullptr, nullptr, 0, false};
  ComPtr<IAudioSessionEvents> sink = make_session_events_sink(inbox_, session.number);
  if (SUCCEEDED(control->RegisterAudioSessionNotification(sink.Get()))) {
    session.control = std::move(control);
    session.sink = std::move(sink);
  }
  endpoint.sessions.push_back(std::move(session));
  return &endpoint.sessions.back();
}

void SessionWatch::take_news() {
  SessionInbox::News news = inbox_->take();
  const auto among = [](const std::vector<std::uint64_t>& numbers) {
    return [&numbers](const Session& session) {
      return std::find(numbers.begin(), numbers.end(), session.number) != numbers.end();
    };
  };
  for (Endpoint& endpoint : endpoints_) {
    // A late callback of a sink already let go names no session held.
    if (std::any_of(endpoint.sessions.begin(), endpoint.sessions.end(), among(news.disconnected))) {
      rewatch_ = true;
    }
    let_go(endpoint, among(news.expired));
  }
  for (auto& [number, control] : news.created) {
    for (Endpoint& endpoint : endpoints_) {
      if (endpoint.number == number) attach(endpoint, std::move(control));
    }
  }
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
  (void)endpoint.manager->UnregisterSessionNotification(endpoint.sink.Get());
}

void SessionWatch::release_all() {
  for (Endpoint& endpoint : endpoints_) release(endpoint);
  endpoints_.clear();
}

}  // namespace kolvex::win
