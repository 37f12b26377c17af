#include "platform/windows/com_error.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/text_encoding.h"
#include "platform/windows/win_resources.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

class ComErrorDetail final : public ErrorDetail {
 public:
  explicit ComErrorDetail(ComPtr<IErrorInfo> info) : info_(std::move(info)) {}

  std::string message() const override {
    std::u16string text = restricted_text();
    if (text.empty()) {
      Bstr description;
      if (SUCCEEDED(info_->GetDescription(description.out()))) text = view(description);
    }
    return utf16_to_utf8_lossy(trim_trailing_space(text));
  }

 private:
  // The restricted description, else the description, from IRestrictedErrorInfo if answered.
  std::u16string restricted_text() const {
    ComPtr<IRestrictedErrorInfo> restricted;
    // Declared here, the interface has no __uuidof for IID_PPV_ARGS.
    if (FAILED(info_->QueryInterface(IID_RESTRICTED_ERROR_INFO,
                                     IID_PPV_ARGS_Helper(restricted.GetAddressOf()))) ||
        !restricted) {
      return {};
    }
    Bstr description, restricted_description, capability_sid;
    HRESULT error = S_OK;
    if (FAILED(restricted->GetErrorDetails(description.out(), &error, restricted_description.out(),
                                           capability_sid.out()))) {
      return {};
    }
    const std::u16string_view preferred =
        view(restricted_description).empty() ? view(description) : view(restricted_description);
    return std::u16string(preferred);
  }

  ComPtr<IErrorInfo> info_;
};

}  // namespace

PlatformError platform_error_from_hresult(HRESULT status) {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.GetAddressOf()) != S_OK || !info) return PlatformError(status);
  return PlatformError(status, std::make_unique<ComErrorDetail>(std::move(info)));
}

}  // namespace kolvex::win
