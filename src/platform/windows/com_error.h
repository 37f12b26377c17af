#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <optional>

#include "base/error_value.h"

namespace kolvex::win {

// The Windows SDK declares this in restrictederrorinfo.h, which MinGW-w64 lacks; ours lives in
// our namespace so that it cannot clash with the SDK's.
struct IRestrictedErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                    BSTR* restricted_description,
                                                    BSTR* capability_sid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

inline constexpr IID IID_RESTRICTED_ERROR_INFO = {
    0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};

// A failing status with the COM error information that the failed call left for this thread.
// Must be called right after the failing call, on its thread: it takes (and so clears) the
// thread's error information.
PlatformError platform_error_from_hresult(HRESULT status);

// How a call that hands back `pointer` failed: its status with the thread's COM error
// information, or an empty error for a success that handed back nothing. Right after the call.
template <class T>
std::optional<PlatformError> call_error(HRESULT status, const Microsoft::WRL::ComPtr<T>& pointer) {
  if (FAILED(status)) return platform_error_from_hresult(status);
  if (!pointer) return PlatformError::empty();
  return std::nullopt;
}

}  // namespace kolvex::win
