// The notification client through its vtables, as the audio service calls it.
#include "platform/windows/endpoint_notification_client.h"

#include <gtest/gtest.h>
#include <inspectable.h>
#include <objidl.h>

#include <string>
#include <vector>

#include "fakes/recording_sinks.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

using RecordingSink = RecordingNotificationSink;

struct Client {
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  ComPtr<IMMNotificationClient> client = make_endpoint_notification_client(sink);
};

ULONG count_of(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

TEST(EndpointNotificationClientTest, QueryInterfaceHandsOutTheRightPointerAndCountsIt) {
  Client c;
  IUnknown* identity = nullptr;
  ASSERT_EQ(c.client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  const struct {
    IID iid;
    bool identity;
  } cases[] = {
      {IID_IUnknown, true},
      {__uuidof(IInspectable), true},
      {__uuidof(IAgileObject), true},
      {__uuidof(IMMNotificationClient), false},
  };
  ULONG expected = 2;
  for (const auto& k : cases) {
    void* out = nullptr;
    ASSERT_EQ(c.client->QueryInterface(k.iid, &out), S_OK);
    EXPECT_EQ(out, k.identity ? static_cast<void*>(identity) : static_cast<void*>(c.client.Get()));
    EXPECT_EQ(count_of(c.client.Get()), ++expected);
    // The same answers through the identity pointer.
    void* again = nullptr;
    ASSERT_EQ(identity->QueryInterface(k.iid, &again), S_OK);
    EXPECT_EQ(again, out);
    EXPECT_EQ(count_of(identity), ++expected);
  }
  for (ULONG i = expected; i > 1; --i) EXPECT_EQ(identity->Release(), i - 1);
}

TEST(EndpointNotificationClientTest, QueryInterfaceRefusals) {
  Client c;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(c.client->QueryInterface(__uuidof(IMMDeviceEnumerator), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(c.client->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  // A null REFIID is what a C caller can pass; reach the slot the way it would.
  using Slot = HRESULT(STDMETHODCALLTYPE*)(IMMNotificationClient*, const IID*, void**);
  Slot query = (*reinterpret_cast<Slot**>(c.client.Get()))[0];
  EXPECT_EQ(query(c.client.Get(), nullptr, &out), E_POINTER);
  EXPECT_EQ(count_of(c.client.Get()), 1u);
}

TEST(EndpointNotificationClientTest, InspectableMethods) {
  Client c;
  ComPtr<IInspectable> inspectable;
  ASSERT_EQ(c.client.As(&inspectable), S_OK);
  ULONG count = 7;
  IID* iids = reinterpret_cast<IID*>(0x1);
  EXPECT_EQ(inspectable->GetIids(&count, &iids), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(iids, nullptr);
  EXPECT_EQ(inspectable->GetIids(nullptr, &iids), E_POINTER);
  EXPECT_EQ(inspectable->GetIids(&count, nullptr), E_POINTER);
  HSTRING name = reinterpret_cast<HSTRING>(0x1);
  EXPECT_EQ(inspectable->GetRuntimeClassName(&name), S_OK);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(inspectable->GetRuntimeClassName(nullptr), E_POINTER);
  TrustLevel level = FullTrust;
  EXPECT_EQ(inspectable->GetTrustLevel(&level), S_OK);
  EXPECT_EQ(level, BaseTrust);
  EXPECT_EQ(inspectable->GetTrustLevel(nullptr), E_POINTER);
}

TEST(EndpointNotificationClientTest, CallbacksForwardDecodedIdsAndAlwaysSucceed) {
  Client c;
  IMMNotificationClient* n = c.client.Get();
  const wchar_t unpaired[] = {L'x', 0xD800, 0};
  PROPERTYKEY key{};
  EXPECT_EQ(n->OnDeviceStateChanged(L"{0.0.1.00000000}.{mic}", DEVICE_STATE_UNPLUGGED), S_OK);
  EXPECT_EQ(n->OnDeviceStateChanged(nullptr, DEVICE_STATE_ACTIVE), S_OK);
  EXPECT_EQ(n->OnDeviceAdded(L"\u041C\U0001F3A4"), S_OK);
  EXPECT_EQ(n->OnDeviceAdded(nullptr), S_OK);
  EXPECT_EQ(n->OnDeviceAdded(L""), S_OK);
  EXPECT_EQ(n->OnDeviceRemoved(unpaired), S_OK);
  EXPECT_EQ(n->OnDeviceRemoved(L"gone"), S_OK);
  EXPECT_EQ(n->OnDefaultDeviceChanged(eCapture, eCommunications, L"mic"), S_OK);
  EXPECT_EQ(n->OnDefaultDeviceChanged(eRender, eConsole, nullptr), S_OK);
  EXPECT_EQ(n->OnDefaultDeviceChanged(eCapture, eMultimedia, unpaired), S_OK);
  EXPECT_EQ(n->OnPropertyValueChanged(L"mic", key), S_OK);
  EXPECT_EQ(c.sink->calls, (std::vector<std::string>{
                               "state:{0.0.1.00000000}.{mic}:8",
                               "added:\xD0\x9C\xF0\x9F\x8E\xA4",
                               "added:",
                               "removed:gone",
                               "default:1:2:mic",
                               "default:0:0:<none>",
                               "default:1:1:<none>",
                           }));
}

TEST(EndpointNotificationClientTest, TheLastReleaseFreesTheClientAndDropsTheSink) {
  auto sink = std::make_shared<RecordingSink>();
  std::weak_ptr<RecordingSink> watch = sink;
  ComPtr<IMMNotificationClient> client = make_endpoint_notification_client(std::move(sink));
  IMMNotificationClient* raw = client.Get();
  raw->AddRef();
  client.Reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(raw->Release(), 0u);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace kolvex::win
