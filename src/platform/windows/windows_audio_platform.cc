#include "platform/windows/windows_audio_platform.h"

#include <windows.h>

#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <climits>
#include <string>
#include <utility>

#include "audio/process_identity.h"
#include "output/text_encoding.h"
#include "platform/windows/co_task_string.h"
#include "platform/windows/com_error.h"
#include "platform/windows/endpoint_notification_client.h"
#include "platform/windows/process_image.h"

namespace kolvex {
namespace {

using Microsoft::WRL::ComPtr;

// An endpoint id that is not valid Unicode. Windows has no HRESULT of its own for it, so it
// borrows the one its converters report.
constexpr HRESULT INVALID_UNICODE = HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);

// Calls `fetch` with the address of `pointer` and turns the outcome into an error, if any:
// a failing status with its COM error information, or an empty error for a success that
// handed back nothing.
template <class T, class Fetch>
std::optional<PlatformError> fetch_into(ComPtr<T>& pointer, Fetch&& fetch) {
  const HRESULT status = fetch(pointer.ReleaseAndGetAddressOf());
  if (FAILED(status)) return platform_error_from_hresult(status);
  if (!pointer) return PlatformError::empty();
  return std::nullopt;
}

Result<std::string> endpoint_id(IMMDevice& device) {
  CoTaskString id;
  const HRESULT status = device.GetId(id.out());
  if (FAILED(status)) return platform_error_from_hresult(status);
  if (!id) return PlatformError::empty();
  std::optional<std::string> utf8 = utf16_to_utf8_strict(id.view());
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
    if (auto error = fetch_into(control, [&](IAudioSessionControl** out) {
          return sessions_->GetSession(index, out);
        })) {
      return std::move(*error);
    }
    ComPtr<IAudioSessionControl2> extended;
    if (auto error = fetch_into(extended, [&](IAudioSessionControl2** out) {
          return control->QueryInterface(__uuidof(IAudioSessionControl2),
                                         reinterpret_cast<void**>(out));
        })) {
      return std::move(*error);
    }
    return std::unique_ptr<AudioSession>(
        new WindowsAudioSession(std::move(control), std::move(extended)));
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
    if (auto error = fetch_into(manager, [&](IAudioSessionManager2** out) {
          return device_->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(out));
        })) {
      return std::move(*error);
    }
    ComPtr<IAudioSessionEnumerator> sessions;
    if (auto error = fetch_into(sessions, [&](IAudioSessionEnumerator** out) {
          return manager->GetSessionEnumerator(out);
        })) {
      return std::move(*error);
    }
    return std::unique_ptr<AudioSessionList>(
        new WindowsAudioSessionList(std::move(manager), std::move(sessions)));
  }

  Result<std::int32_t> data_flow() override {
    ComPtr<IMMEndpoint> endpoint;
    if (auto error = fetch_into(endpoint, [&](IMMEndpoint** out) {
          return device_->QueryInterface(__uuidof(IMMEndpoint), reinterpret_cast<void**>(out));
        })) {
      return std::move(*error);
    }
    EDataFlow flow = eRender;
    const HRESULT status = endpoint->GetDataFlow(&flow);
    if (FAILED(status)) return platform_error_from_hresult(status);
    return static_cast<std::int32_t>(flow);
  }

 private:
  ComPtr<IMMDevice> device_;
};

Result<std::unique_ptr<AudioEndpoint>> make_endpoint(ComPtr<IMMDevice> device) {
  return std::unique_ptr<AudioEndpoint>(new WindowsAudioEndpoint(std::move(device)));
}

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
    if (auto error =
            fetch_into(device, [&](IMMDevice** out) { return collection_->Item(index, out); })) {
      return std::move(*error);
    }
    return make_endpoint(std::move(device));
  }

 private:
  ComPtr<IMMDeviceCollection> collection_;
};

class WindowsDeviceEnumerator final : public AudioDeviceEnumerator {
 public:
  explicit WindowsDeviceEnumerator(ComPtr<IMMDeviceEnumerator> enumerator)
      : enumerator_(std::move(enumerator)) {}

  Result<std::unique_ptr<AudioEndpointList>> endpoints(DataFlow flow,
                                                       std::uint32_t state_mask) override {
    ComPtr<IMMDeviceCollection> collection;
    if (auto error = fetch_into(collection, [&](IMMDeviceCollection** out) {
          return enumerator_->EnumAudioEndpoints(static_cast<EDataFlow>(flow), state_mask, out);
        })) {
      return std::move(*error);
    }
    return std::unique_ptr<AudioEndpointList>(new WindowsAudioEndpointList(std::move(collection)));
  }

  Result<std::unique_ptr<AudioEndpoint>> default_endpoint(DataFlow flow, DeviceRole role) override {
    ComPtr<IMMDevice> device;
    if (auto error = fetch_into(device, [&](IMMDevice** out) {
          return enumerator_->GetDefaultAudioEndpoint(static_cast<EDataFlow>(flow),
                                                      static_cast<ERole>(role), out);
        })) {
      return std::move(*error);
    }
    return make_endpoint(std::move(device));
  }

  Result<std::unique_ptr<AudioEndpoint>> device(std::string_view id) override {
    Result<std::wstring> wide = wide_endpoint_id(id);
    if (!wide) return wide.take_error();
    ComPtr<IMMDevice> device;
    if (auto error = fetch_into(
            device, [&](IMMDevice** out) { return enumerator_->GetDevice(wide->c_str(), out); })) {
      return std::move(*error);
    }
    return make_endpoint(std::move(device));
  }

  Result<std::unique_ptr<EndpointRegistration>> register_endpoint_notifications(
      std::shared_ptr<EndpointNotificationSink> sink) override {
    return register_notification_client(enumerator_,
                                        make_endpoint_notification_client(std::move(sink)));
  }

 private:
  ComPtr<IMMDeviceEnumerator> enumerator_;
};

class WindowsAudioPlatform final : public AudioPlatform {
 public:
  Result<std::unique_ptr<AudioDeviceEnumerator>> create_device_enumerator() override {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (auto error = fetch_into(enumerator, [](IMMDeviceEnumerator** out) {
          return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                  __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(out));
        })) {
      return std::move(*error);
    }
    return std::unique_ptr<AudioDeviceEnumerator>(
        new WindowsDeviceEnumerator(std::move(enumerator)));
  }

  std::optional<std::string> executable_name(std::uint32_t pid) override {
    const std::optional<std::u16string> path = read_process_image_path(pid);
    if (!path) return std::nullopt;
    return exe_name_from_image_path(*path);
  }
};

}  // namespace

std::unique_ptr<AudioPlatform> make_windows_audio_platform() {
  return std::make_unique<WindowsAudioPlatform>();
}

}  // namespace kolvex
