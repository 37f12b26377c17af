#pragma once

#include <windows.h>

#include "output/error_value.h"

namespace kolvex {

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

}  // namespace kolvex
