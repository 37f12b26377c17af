#include "platform/windows/windows_audio_platform.h"

#include <windows.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <climits>
#include <string>
#include <utility>

#include "base/text_encoding.h"
#include "platform/windows/com_error.h"
#include "platform/windows/endpoint_notification_client.h"
#include "platform/windows/image_path.h"
#include "platform/windows/process_image.h"
#include "platform/windows/session_watch.h"
#include "platform/windows/win_resources.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

// An endpoint id that is not valid Unicode. Windows has no HRESULT of its own for it, so it
// borrows the one its converters report. The macro form: the SDK's HRESULT_FROM_WIN32 is a
// function that a constant expression cannot call.
constexpr HRESULT INVALID_UNICODE = __HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);

Result<std::string> endpoint_id(IMMDevice& device) {
  CoTaskString id;
  const HRESULT status = device.GetId(id.out());
  if (FAILED(status)) return platform_error_from_hresult(status);
  if (!id) return PlatformError::empty();
  std::optional<std::string> utf8 = utf16_to_utf8_strict(view(id));
  if (!utf8) return PlatformError(INVALID_UNICODE);
  return std::move(*utf8);
}

// NUL-terminated UTF-16 for a UTF-8 endpoint id. An id with a NUL inside would be looked up
// cut short, as another endpoint, so it is refused like one that is not valid UTF-8.
Result<std::wstring> wide_endpoint_id(std::string_view id) {
  if (id.find('\0') != std::string_view::npos) return PlatformError(E_INVALIDARG);
  if (id.empty()) return std::wstring();
  if (id.size() > static_cast<std::size_t>(INT_MAX)) return PlatformError(E_INVALIDARG);
  const int input_length = static_cast<int>(id.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, id.data(), input_length, nullptr, 0);
  if (length <= 0) return PlatformError(INVALID_UNICODE);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, id.data(), input_length, wide.data(),
                          length) != length) {
    return PlatformError(INVALID_UNICODE);
  }
  return wide;
}

class WindowsAudioSession final : public AudioSession {
 public:
  WindowsAudioSession(ComPtr<IAudioSessionControl> control, ComPtr<IAudioSessionControl2> extended)
      : control_(std::move(control)), extended_(std::move(extended)) {}

  Result<std::uint32_t> process_id() override {
    DWORD pid = 0;
    // AUDCLNT_S_NO_SINGLE_PROCESS and other success codes still come with the id.
    const HRESULT status = extended_->GetProcessId(&pid);
    if (FAILED(status)) return platform_error_from_hresult(status);
    return std::uint32_t{pid};
  }

  Result<bool> is_active() override {
    AudioSessionState state = AudioSessionStateInactive;
    const HRESULT status = extended_->GetState(&state);
    if (FAILED(status)) return platform_error_from_hresult(status);
    return state == AudioSessionStateActive;
  }

 private:
  // Released extended first, then plain.
  ComPtr<IAudioSessionControl> control_;
  ComPtr<IAudioSessionControl2> extended_;
};

class WindowsAudioSessionList final : public AudioSessionList {
 public:
  WindowsAudioSessionList(ComPtr<IAudioSessionManager2> manager,
                          ComPtr<IAudioSessionEnumerator> sessions)
      : manager_(std::move(manager)), sessions_(std::move(sessions)) {}

  Result<std::int32_t> count() override {
    int count = 0;
    const HRESULT status = sessions_->GetCount(&count);
    if (FAILED(status)) return platform_error_from_hresult(status);
    return std::int32_t{count};
  }

  Result<std::unique_ptr<AudioSession>> session(std::int32_t index) override {
    ComPtr<IAudioSessionControl> control;
    HRESULT status = sessions_->GetSession(index, control.GetAddressOf());
    if (auto error = call_error(status, control)) return std::move(*error);
    ComPtr<IAudioSessionControl2> extended;
    status = control->QueryInterface(IID_PPV_ARGS(&extended));
    if (auto error = call_error(status, extended)) return std::move(*error);
    return std::make_unique<WindowsAudioSession>(std::move(control), std::move(extended));
  }

 private:
  // Released enumerator first, then manager.
  ComPtr<IAudioSessionManager2> manager_;
  ComPtr<IAudioSessionEnumerator> sessions_;
};

class WindowsAudioEndpoint final : public AudioEndpoint {
 public:
  explicit WindowsAudioEndpoint(ComPtr<IMMDevice> device) : device_(std::move(device)) {}

  Result<std::string> id() override { return endpoint_id(*device_.Get()); }

  Result<std::unique_ptr<AudioSessionList>> sessions() override {
    ComPtr<IAudioSessionManager2> manager;
    HRESULT status = device_->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                       IID_PPV_ARGS_Helper(manager.GetAddressOf()));
    if (auto error = call_error(status, manager)) return std::move(*error);
    ComPtr<IAudioSessionEnumerator> sessions;
    status = manager->GetSessionEnumerator(sessions.GetAddressOf());
    if (auto error = call_error(status, sessions)) return std::move(*error);
    return std::make_unique<WindowsAudioSessionList>(std::move(manager), std::move(sessions));
  }

  Result<std::int32_t> data_flow() override {
    ComPtr<IMMEndpoint> endpoint;
    HRESULT status = device_->QueryInterface(IID_PPV_ARGS(&endpoint));
    if (auto error = call_error(status, endpoint)) return std::move(*error);
    EDataFlow flow = eRender;
    status = endpoint->GetDataFlow(&flow);
    if (FAILED(status)) return platform_error_from_hresult(status);
    return static_cast<std::int32_t>(flow);
  }

 private:
  ComPtr<IMMDevice> device_;
};

class WindowsAudioEndpointList final : public AudioEndpointList {
 public:
  explicit WindowsAudioEndpointList(ComPtr<IMMDeviceCollection> collection)
      : collection_(std::move(collection)) {}

  Result<std::uint32_t> count() override {
    UINT count = 0;
    const HRESULT status = collection_->GetCount(&count);
    if (FAILED(status)) return platform_error_from_hresult(status);
    return std::uint32_t{count};
  }

  Result<std::unique_ptr<AudioEndpoint>> item(std::uint32_t index) override {
    ComPtr<IMMDevice> device;
    const HRESULT status = collection_->Item(index, device.GetAddressOf());
    if (auto error = call_error(status, device)) return std::move(*error);
    return std::make_unique<WindowsAudioEndpoint>(std::move(device));
  }

 private:
  ComPtr<IMMDeviceCollection> collection_;
};

// The endpoint client's registration with the session watch beside it; the watch is undone
// first.
class WatchingRegistration final : public EndpointRegistration {
 public:
  WatchingRegistration(std::unique_ptr<EndpointRegistration> client,
                       ComPtr<IMMDeviceEnumerator> enumerator,
                       std::shared_ptr<EndpointNotificationSink> sink,
                       const WatchResume& watch_resume)
      : client_(std::move(client)), watch_(std::move(enumerator), std::move(sink), watch_resume) {}

  void refresh(bool endpoints_changed) override { watch_.refresh(endpoints_changed); }

 private:
  std::unique_ptr<EndpointRegistration> client_;
  SessionWatch watch_;
};

class WindowsDeviceEnumerator final : public AudioDeviceEnumerator {
 public:
  WindowsDeviceEnumerator(ComPtr<IMMDeviceEnumerator> enumerator, WatchResume watch_resume)
      : enumerator_(std::move(enumerator)), watch_resume_(std::move(watch_resume)) {}

  Result<std::unique_ptr<AudioEndpointList>> endpoints(DataFlow flow,
                                                       std::uint32_t state_mask) override {
    ComPtr<IMMDeviceCollection> collection;
    const HRESULT status = enumerator_->EnumAudioEndpoints(static_cast<EDataFlow>(flow), state_mask,
                                                           collection.GetAddressOf());
    if (auto error = call_error(status, collection)) return std::move(*error);
    return std::make_unique<WindowsAudioEndpointList>(std::move(collection));
  }

  Result<std::unique_ptr<AudioEndpoint>> default_endpoint(DataFlow flow, DeviceRole role) override {
    ComPtr<IMMDevice> device;
    const HRESULT status = enumerator_->GetDefaultAudioEndpoint(
        static_cast<EDataFlow>(flow), static_cast<ERole>(role), device.GetAddressOf());
    if (auto error = call_error(status, device)) return std::move(*error);
    return std::make_unique<WindowsAudioEndpoint>(std::move(device));
  }

  Result<std::unique_ptr<AudioEndpoint>> device(std::string_view id) override {
    Result<std::wstring> wide = wide_endpoint_id(id);
    if (!wide) return wide.take_error();
    ComPtr<IMMDevice> device;
    const HRESULT status = enumerator_->GetDevice(wide->c_str(), device.GetAddressOf());
    if (auto error = call_error(status, device)) return std::move(*error);
    return std::make_unique<WindowsAudioEndpoint>(std::move(device));
  }

  Result<std::unique_ptr<EndpointRegistration>> register_endpoint_notifications(
      std::shared_ptr<EndpointNotificationSink> sink) override {
    Result<std::unique_ptr<EndpointRegistration>> client =
        register_notification_client(enumerator_, make_endpoint_notification_client(sink));
    if (!client) return client;
    return std::make_unique<WatchingRegistration>(std::move(*client), enumerator_, std::move(sink),
                                                  watch_resume_);
  }

 private:
  ComPtr<IMMDeviceEnumerator> enumerator_;
  WatchResume watch_resume_;
};

class WindowsAudioPlatform final : public AudioPlatform {
 public:
  explicit WindowsAudioPlatform(WatchResume watch_resume)
      : watch_resume_(std::move(watch_resume)) {}

  Result<std::unique_ptr<AudioDeviceEnumerator>> create_device_enumerator() override {
    ComPtr<IMMDeviceEnumerator> enumerator;
    const HRESULT status = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                            IID_PPV_ARGS(&enumerator));
    if (auto error = call_error(status, enumerator)) return std::move(*error);
    return std::make_unique<WindowsDeviceEnumerator>(std::move(enumerator), watch_resume_);
  }

  // Public traces show a session's steps 13 ms apart (inactive, then active) and one
  // application's sessions on two endpoints starting 20 ms apart: a little more quiet than
  // that, so that both are seen by one poll.
  SessionSettle session_settle() const override {
    return {std::chrono::milliseconds(25), std::chrono::milliseconds(100)};
  }

  std::optional<std::string> executable_name(std::uint32_t pid) override {
    const std::optional<std::u16string> path = read_process_image_path(pid);
    if (!path) return std::nullopt;
    return exe_name_from_image_path(*path);
  }

 private:
  WatchResume watch_resume_;
};

}  // namespace

std::unique_ptr<AudioPlatform> make_windows_audio_platform(WatchResume watch_resume) {
  return std::make_unique<WindowsAudioPlatform>(std::move(watch_resume));
}

}  // namespace kolvex::win
