#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error_value.h"
#include "platform/audio_platform.h"

// A scripted machine behind the platform seam for native tests. A test fills a FakeAudioScript,
// runs the code under test against a FakeAudioPlatform, then looks at the platform's call log
// and live-object counts. Every operation can be made to fail through its `Fault`.

namespace kolvex::fake {

// How a scripted operation fails. A code with a message stands for a failed call that left error
// information; a code alone for one that left none; code 0 without a message for a call that
// reported success but handed back no object.
struct Fault {
  std::int32_t code = 0;
  std::optional<std::string> message;

  PlatformError make() const;
};

inline Fault fails(std::int32_t code) {
  return Fault{code, std::nullopt};
}
inline Fault fails(std::int32_t code, std::string message) {
  return Fault{code, std::move(message)};
}
inline Fault no_object() {
  return Fault{};
}

// Codes that the audio services really return; any value works.
inline constexpr std::int32_t E_ACCESSDENIED_CODE = static_cast<std::int32_t>(0x80070005u);
inline constexpr std::int32_t E_NOTFOUND_CODE = static_cast<std::int32_t>(0x80070490u);
inline constexpr std::int32_t AUDCLNT_E_DEVICE_INVALIDATED_CODE =
    static_cast<std::int32_t>(0x88890004u);

// Stands in for the COM error information a failed call leaves behind.
class FakeErrorDetail : public ErrorDetail {
 public:
  explicit FakeErrorDetail(std::string message) : message_(std::move(message)) {}
  std::string message() const override { return message_; }

 private:
  std::string message_;
};

struct FakeSession {
  std::uint32_t pid = 0;
  bool active = false;
  std::optional<Fault> fault{};        // fetching it or asking for the extended control
  std::optional<Fault> pid_fault{};    // reading the process id
  std::optional<Fault> state_fault{};  // reading the state
  // Given with a pid_fault: a process known only by this name.
  std::optional<std::string> claimed_executable{};
};

struct FakeEndpoint {
  std::string id{};
  std::vector<FakeSession> sessions{};
  std::optional<Fault> item_fault{};      // fetching it from the collection
  std::optional<Fault> id_fault{};        // reading or decoding its identifier
  std::optional<Fault> sessions_fault{};  // activating the session manager or its enumerator
  std::optional<Fault> session_count_fault{};
  std::optional<std::int32_t> session_count{};  // reported instead of sessions.size()
  std::optional<Fault> data_flow_fault{};
  std::optional<std::int32_t> reported_flow{};  // reported instead of the flow it is listed under
};

struct FakeFlow {
  std::vector<FakeEndpoint> endpoints{};
  std::optional<Fault> enumerate_fault{};
  std::optional<Fault> count_fault{};
};

struct FakeDefault {
  std::string id{};
  std::optional<Fault> fault{};     // asking for the default endpoint
  std::optional<Fault> id_fault{};  // reading or decoding its identifier
};

struct FakeAudioScript {
  std::optional<Fault> enumerator_fault{};
  FakeFlow render{};
  FakeFlow capture{};
  // A role without an entry has no default endpoint.
  std::map<DeviceRole, FakeDefault> capture_defaults{};
  // A pid without an entry cannot be identified.
  std::map<std::uint32_t, std::string> executables{};
  ExecutableNaming naming = ExecutableNaming::windows;
  std::optional<Fault> register_fault{};
};

// Platform objects alive right now, by kind.
struct LiveObjects {
  int enumerators = 0;
  int endpoint_lists = 0;
  int endpoints = 0;
  int session_lists = 0;
  int sessions = 0;

  int total() const { return enumerators + endpoint_lists + endpoints + session_lists + sessions; }
};

class FakeAudioPlatform : public AudioPlatform {
 public:
  explicit FakeAudioPlatform(FakeAudioScript script) : script_(std::move(script)) {}
  FakeAudioPlatform(const FakeAudioPlatform&) = delete;
  FakeAudioPlatform& operator=(const FakeAudioPlatform&) = delete;

  void begin_poll() override { log("begin_poll"); }
  Result<std::unique_ptr<AudioDeviceEnumerator>> create_device_enumerator() override;
  std::optional<std::string> executable_name(std::uint32_t pid) override;
  ExecutableNaming executable_naming() const override { return script_.naming; }
  SessionSettle session_settle() const override {
    return {std::chrono::milliseconds(50), std::chrono::milliseconds(150)};
  }

  FakeAudioScript& script() { return script_; }
  const LiveObjects& live() const { return live_; }
  // Every call in order, e.g. "item(capture,1)", "session(render,0,2)",
  // "id(default,capture,console)".
  const std::vector<std::string>& calls() const { return calls_; }
  // For runs too long to keep every call.
  void forget_calls() { calls_.clear(); }
  // Endpoints fetched while an endpoint or its sessions were still alive, and sessions fetched
  // while another session was: a platform object held across its scope.
  int scope_overlaps() const { return scope_overlaps_; }
  // The sink of the registered notification client; null while none is registered. Tests
  // call it, from any thread, as the audio service would.
  std::shared_ptr<EndpointNotificationSink> notifications() const { return notifications_; }

  // For the fake objects.
  void log(std::string call) { calls_.push_back(std::move(call)); }
  LiveObjects& live_objects() { return live_; }
  void note_overlap() { ++scope_overlaps_; }
  void set_notifications(std::shared_ptr<EndpointNotificationSink> sink) {
    notifications_ = std::move(sink);
  }

 private:
  FakeAudioScript script_;
  LiveObjects live_;
  std::vector<std::string> calls_;
  int scope_overlaps_ = 0;
  std::shared_ptr<EndpointNotificationSink> notifications_;
};

}  // namespace kolvex::fake
