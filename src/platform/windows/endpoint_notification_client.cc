#include "platform/windows/endpoint_notification_client.h"

#include <inspectable.h>
#include <objidl.h>

#include <optional>
#include <string>
#include <utility>

#include "base/text_encoding.h"
#include "platform/windows/com_error.h"
#include "platform/windows/com_object.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

std::optional<std::string> decode_id(LPCWSTR id) {
  if (id == nullptr) return std::nullopt;
  return utf16_to_utf8_strict(reinterpret_cast<const char16_t*>(id));
}

class EndpointNotificationClient final
    : public AgileComObject<IInspectable, IMMNotificationClient> {
 public:
  explicit EndpointNotificationClient(std::shared_ptr<EndpointNotificationSink> sink)
      : sink_(std::move(sink)) {}

  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
    if (count == nullptr || iids == nullptr) return E_POINTER;
    *count = 0;
    *iids = nullptr;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
    if (name == nullptr) return E_POINTER;
    *name = nullptr;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
    if (level == nullptr) return E_POINTER;
    *level = BaseTrust;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD new_state) override {
    return guarded([&] {
      if (std::optional<std::string> device_id = decode_id(id)) {
        sink_->state_changed(std::move(*device_id), new_state);
      }
    });
  }

  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override {
    return guarded([&] {
      if (std::optional<std::string> device_id = decode_id(id)) sink_->added(std::move(*device_id));
    });
  }

  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    return guarded([&] {
      if (std::optional<std::string> device_id = decode_id(id)) {
        sink_->removed(std::move(*device_id));
      }
    });
  }

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    return guarded([&] { sink_->default_changed(flow, role, decode_id(id)); });
  }

  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  std::shared_ptr<EndpointNotificationSink> sink_;
};

class ClientRegistration final : public EndpointRegistration {
 public:
  ClientRegistration(ComPtr<IMMDeviceEnumerator> enumerator, ComPtr<IMMNotificationClient> client)
      : enumerator_(std::move(enumerator)), client_(std::move(client)) {}
  ClientRegistration(const ClientRegistration&) = delete;
  ClientRegistration& operator=(const ClientRegistration&) = delete;

  ~ClientRegistration() override {
    // Nothing to be done about a failure on the way out.
    (void)enumerator_->UnregisterEndpointNotificationCallback(client_.Get());
  }

 private:
  ComPtr<IMMDeviceEnumerator> enumerator_;
  ComPtr<IMMNotificationClient> client_;
};

}  // namespace

ComPtr<IMMNotificationClient> make_endpoint_notification_client(
    std::shared_ptr<EndpointNotificationSink> sink) {
  // Made without references: the ComPtr takes the first.
  return ComPtr<IMMNotificationClient>(new EndpointNotificationClient(std::move(sink)));
}

Result<std::unique_ptr<EndpointRegistration>> register_notification_client(
    ComPtr<IMMDeviceEnumerator> enumerator, ComPtr<IMMNotificationClient> client) {
  // The service keeps the pointer without a reference of its own; ours keeps the client alive.
  const HRESULT status = enumerator->RegisterEndpointNotificationCallback(client.Get());
  if (FAILED(status)) return platform_error_from_hresult(status);
  return std::make_unique<ClientRegistration>(std::move(enumerator), std::move(client));
}

}  // namespace kolvex::win
