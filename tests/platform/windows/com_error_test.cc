#include "platform/windows/com_error.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <functional>
#include <optional>
#include <thread>

#include "counted_com_object.h"
#include "platform/windows/com_runtime.h"
#include "test_support.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

BSTR bstr(const std::optional<std::wstring>& text) {
  return text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : nullptr;
}

// Error information as a WinRT component leaves it: IErrorInfo that also answers
// IRestrictedErrorInfo.
class RestrictedErrorInfo final : public CountedComObject<IErrorInfo, IRestrictedErrorInfo> {
 public:
  std::optional<std::wstring> description;
  std::optional<std::wstring> restricted_description;
  std::optional<std::wstring> plain_description;  // what IErrorInfo::GetDescription gives
  HRESULT details_status = S_OK;
  bool answers_restricted = true;

  HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* out_description, HRESULT* error,
                                            BSTR* out_restricted, BSTR* sid) noexcept override {
    *out_description = *out_restricted = *sid = nullptr;
    *error = E_FAIL;
    if (FAILED(details_status)) return details_status;
    *out_description = bstr(description);
    *out_restricted = bstr(restricted_description);
    *sid = bstr(L"S-1-0-0");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetReference(BSTR*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) noexcept override {
    *out = bstr(plain_description);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) noexcept override {
    *guid = GUID_NULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) noexcept override { return E_NOTIMPL; }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IErrorInfo)) {
      *out = static_cast<IErrorInfo*>(this);
    } else if (iid == IID_RESTRICTED_ERROR_INFO && answers_restricted) {
      *out = static_cast<IRestrictedErrorInfo*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }
};

void leave_description(const wchar_t* description) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_HRESULT_SUCCEEDED(CreateErrorInfo(create.GetAddressOf()));
  create->SetDescription(const_cast<LPOLESTR>(description));
  ComPtr<IErrorInfo> info;
  ASSERT_HRESULT_SUCCEEDED(create.As(&info));
  ASSERT_HRESULT_SUCCEEDED(SetErrorInfo(0, info.Get()));
}

class ComErrorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(com_.failure(), ""); }

  ComThread com_;
};

TEST_F(ComErrorTest, TextComesFromTheErrorInformationTheFailureLeft) {
  const struct {
    const char* what;
    std::function<void()> leave;
    std::string text;
  } cases[] = {
      {"description", [] { leave_description(L"Device is busy.\r\n"); },
       "Device is busy. (0x80004005)"},
      {"blank description", [] { leave_description(L" \t\r\n"); }, "0x80004005"},
      {"unpaired surrogate", [] { leave_description(L"Mic \xD800 gone"); },
       "Mic \xEF\xBF\xBD gone (0x80004005)"},
      {"no error information", [] {}, expected_text(E_FAIL)},
  };
  for (const auto& c : cases) {
    c.leave();
    EXPECT_EQ(platform_error_from_hresult(E_FAIL).text(), c.text) << c.what;
  }
}

TEST_F(ComErrorTest, RestrictedDescriptionIsPreferred) {
  const struct {
    const char* what;
    std::optional<std::wstring> restricted;
    std::optional<std::wstring> description;
    HRESULT details_status;
    bool answers_restricted;
    std::string text;
  } cases[] = {
      {"restricted", L"Restricted.", L"Description.", S_OK, true, "Restricted. (0x80070005)"},
      {"empty restricted", L"", L"Description.\r\n", S_OK, true, "Description. (0x80070005)"},
      {"no restricted", std::nullopt, L"Description.", S_OK, true, "Description. (0x80070005)"},
      {"neither", L"", std::nullopt, S_OK, true, "Plain. (0x80070005)"},
      {"details fail", L"Restricted.", L"Description.", E_UNEXPECTED, true, "Plain. (0x80070005)"},
      {"no IRestrictedErrorInfo", L"Restricted.", L"Description.", S_OK, false,
       "Plain. (0x80070005)"},
  };
  for (const auto& c : cases) {
    RestrictedErrorInfo info;
    info.restricted_description = c.restricted;
    info.description = c.description;
    info.plain_description = L"Plain.\n";
    info.details_status = c.details_status;
    info.answers_restricted = c.answers_restricted;
    ASSERT_HRESULT_SUCCEEDED(SetErrorInfo(0, &info));
    {
      const PlatformError error = platform_error_from_hresult(E_ACCESSDENIED);
      EXPECT_EQ(error.text(), c.text) << c.what;
      EXPECT_EQ(error.text(), c.text) << c.what << ": asked again";
      EXPECT_GT(info.references(), 0) << c.what << ": held while the error lives";
    }
    EXPECT_EQ(info.references(), 0) << c.what;
    EXPECT_FALSE(info.over_released()) << c.what;
  }
}

TEST_F(ComErrorTest, ErrorInformationIsTakenOnceWhenTheErrorIsMade) {
  leave_description(L"First failure.");
  const PlatformError first = platform_error_from_hresult(E_ACCESSDENIED);
  const PlatformError second = platform_error_from_hresult(E_ACCESSDENIED);
  leave_description(L"Later failure.");

  EXPECT_EQ(first.text(), "First failure. (0x80070005)");
  EXPECT_EQ(second.text(), expected_text(E_ACCESSDENIED));
  EXPECT_THAT(second.text(), ::testing::EndsWith(" (0x80070005)"));
  if (running_under_wine()) {
    EXPECT_EQ(second.text(), "Access denied. (0x80070005)");
  }
}

TEST(ComRuntimeTest, InitialisesTheMultithreadedApartment) {
  std::optional<std::string> first, again, after_single_threaded;
  std::optional<std::int32_t> changed_mode;
  std::thread([&] {
    Status status = initialize_com();
    first = status.ok() ? "" : status.error().chained_text();
    status = initialize_com();
    again = status.ok() ? "" : status.error().chained_text();
    CoUninitialize();
    CoUninitialize();
  }).join();
  std::thread([&] {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    Status status = initialize_com();
    if (!status.ok()) changed_mode = status.error().platform_error()->code();
    CoUninitialize();
  }).join();

  EXPECT_EQ(first, "");
  EXPECT_EQ(again, "");
  EXPECT_EQ(changed_mode, RPC_E_CHANGED_MODE);
}

}  // namespace
}  // namespace kolvex::win
