#pragma once

#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <memory>

#include "base/error_value.h"
#include "platform/audio_platform.h"

namespace kolvex::win {

// A new client (reference count 1, owned by the caller) that forwards every endpoint
// notification to `sink`. Its identity is laid out as an IInspectable and it declares itself
// agile, so the audio service may call it from any thread without marshalling.
Microsoft::WRL::ComPtr<IMMNotificationClient> make_endpoint_notification_client(
    std::shared_ptr<EndpointNotificationSink> sink);

// Registers the client; the registration unregisters and releases it when destroyed. On
// failure the client is released at once.
Result<std::unique_ptr<EndpointRegistration>> register_notification_client(
    Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator,
    Microsoft::WRL::ComPtr<IMMNotificationClient> client);

}  // namespace kolvex::win
