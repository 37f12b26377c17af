#include "platform/windows/session_sinks.h"

#include "platform/windows/com_object.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

class SessionNotificationSink final : public AgileComObject<IAudioSessionNotification> {
 public:
  SessionNotificationSink(std::shared_ptr<SessionInbox> inbox, std::uint64_t endpoint)
      : inbox_(std::move(inbox)), endpoint_(endpoint) {}

  HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl* session) override {
    return guarded([&] {
      if (session != nullptr) inbox_->session_created(endpoint_, *session);
    });
  }

 private:
  std::shared_ptr<SessionInbox> inbox_;
  std::uint64_t endpoint_;
};

class SessionEventsSink final : public AgileComObject<IAudioSessionEvents> {
 public:
  SessionEventsSink(std::shared_ptr<SessionInbox> inbox, std::uint64_t session)
      : inbox_(std::move(inbox)), session_(session) {}

  HRESULT STDMETHODCALLTYPE OnStateChanged(AudioSessionState state) override {
    return guarded([&] { inbox_->state_changed(session_, state); });
  }
  HRESULT STDMETHODCALLTYPE OnSessionDisconnected(AudioSessionDisconnectReason reason) override {
    return guarded([&] { inbox_->session_disconnected(session_, reason); });
  }

  // Nothing the detector reports.
  HRESULT STDMETHODCALLTYPE OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnChannelVolumeChanged(DWORD, float[], DWORD, LPCGUID) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }

 private:
  std::shared_ptr<SessionInbox> inbox_;
  std::uint64_t session_;
};

}  // namespace

SessionInbox::SessionInbox(std::shared_ptr<EndpointNotificationSink> wake)
    : wake_(std::move(wake)) {}

template <class Change>
void SessionInbox::record(Change&& change) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    change(news_);
  }
  // Outside the lock: waking takes the notice queue's.
  wake_->sessions_changed();
}

void SessionInbox::session_created(std::uint64_t endpoint, IAudioSessionControl& control) {
  // The service only lends the control for the call.
  record([&](News& news) {
    news.created.emplace_back(endpoint, ComPtr<IAudioSessionControl>(&control));
  });
}

void SessionInbox::state_changed(std::uint64_t session, AudioSessionState state) {
  record([&](News& news) {
    if (state == AudioSessionStateExpired) news.expired.push_back(session);
  });
}

void SessionInbox::session_disconnected(std::uint64_t session,
                                        AudioSessionDisconnectReason reason) {
  record([&](News& news) { news.disconnected.emplace_back(session, reason); });
}

void SessionInbox::resumed() {
  record([](News& news) { news.resumed = true; });
}

SessionInbox::News SessionInbox::take() {
  std::lock_guard<std::mutex> guard(lock_);
  return std::exchange(news_, News{});
}

void SessionInbox::close() {
  News left;
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    left = std::exchange(news_, News{});
  }
}

ComPtr<IAudioSessionNotification> make_session_notification_sink(
    std::shared_ptr<SessionInbox> inbox, std::uint64_t endpoint) {
  return ComPtr<IAudioSessionNotification>(new SessionNotificationSink(std::move(inbox), endpoint));
}

ComPtr<IAudioSessionEvents> make_session_events_sink(std::shared_ptr<SessionInbox> inbox,
                                                     std::uint64_t session) {
  return ComPtr<IAudioSessionEvents>(new SessionEventsSink(std::move(inbox), session));
}

}  // namespace kolvex::win
