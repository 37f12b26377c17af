#include "fakes/fake_audio_platform.h"

#include <utility>

namespace kolvex::fake {
namespace {

constexpr std::int32_t E_INVALIDARG_CODE = static_cast<std::int32_t>(0x80070057u);

// Counts one fake object as alive for as long as it exists.
class LiveToken {
 public:
  LiveToken(FakeAudioPlatform& platform, int LiveObjects::*kind)
      : platform_(platform), kind_(kind) {
    ++(platform_.live_objects().*kind_);
  }
  ~LiveToken() { --(platform_.live_objects().*kind_); }
  LiveToken(const LiveToken&) = delete;
  LiveToken& operator=(const LiveToken&) = delete;

 private:
  FakeAudioPlatform& platform_;
  int LiveObjects::*kind_;
};

// The scripted fault, else what `make` gives; `make` runs only when there is no fault, so a
// failed fetch makes no object.
template <class Make>
auto fault_or(const std::optional<Fault>& fault, Make make) -> Result<decltype(make())> {
  if (fault) return fault->make();
  return make();
}

const char* flow_name(DataFlow flow) {
  return flow == DataFlow::render ? "render" : "capture";
}

const char* role_name(DeviceRole role) {
  switch (role) {
    case DeviceRole::console:
      return "console";
    case DeviceRole::multimedia:
      return "multimedia";
    case DeviceRole::communications:
      return "communications";
  }
  return "?";
}

class FakeSessionObject : public AudioSession {
 public:
  FakeSessionObject(FakeAudioPlatform& platform, const FakeSession& data, std::string label)
      : platform_(platform), data_(data), label_(std::move(label)) {}

  Result<std::uint32_t> process_id() override {
    platform_.log("process_id(" + label_ + ")");
    return fault_or(data_.pid_fault, [&] { return data_.pid; });
  }
  std::optional<std::string> claimed_executable() override { return data_.claimed_executable; }
  Result<bool> is_active() override {
    platform_.log("state(" + label_ + ")");
    return fault_or(data_.state_fault, [&] { return data_.active; });
  }

 private:
  FakeAudioPlatform& platform_;
  LiveToken token_{platform_, &LiveObjects::sessions};
  const FakeSession& data_;
  std::string label_;
};

class FakeSessionListObject : public AudioSessionList {
 public:
  FakeSessionListObject(FakeAudioPlatform& platform, const FakeEndpoint& data, std::string label)
      : platform_(platform), data_(data), label_(std::move(label)) {}

  Result<std::int32_t> count() override {
    platform_.log("session_count(" + label_ + ")");
    if (data_.session_count_fault) return data_.session_count_fault->make();
    if (data_.session_count) return *data_.session_count;
    return static_cast<std::int32_t>(data_.sessions.size());
  }
  Result<std::unique_ptr<AudioSession>> session(std::int32_t index) override {
    const std::string label = label_ + "," + std::to_string(index);
    platform_.log("session(" + label + ")");
    if (platform_.live_objects().sessions > 0) platform_.note_overlap();
    if (index < 0 || static_cast<std::size_t>(index) >= data_.sessions.size()) {
      return PlatformError(E_INVALIDARG_CODE);
    }
    const FakeSession& session = data_.sessions[static_cast<std::size_t>(index)];
    return fault_or(session.fault, [&]() -> std::unique_ptr<AudioSession> {
      return std::make_unique<FakeSessionObject>(platform_, session, label);
    });
  }

 private:
  FakeAudioPlatform& platform_;
  LiveToken token_{platform_, &LiveObjects::session_lists};
  const FakeEndpoint& data_;
  std::string label_;
};

class FakeEndpointObject : public AudioEndpoint {
 public:
  FakeEndpointObject(FakeAudioPlatform& platform, const FakeEndpoint& data, DataFlow flow,
                     std::string label)
      : platform_(platform), data_(data), flow_(flow), label_(std::move(label)) {}

  Result<std::string> id() override {
    platform_.log("id(" + label_ + ")");
    return fault_or(data_.id_fault, [&] { return data_.id; });
  }
  Result<std::unique_ptr<AudioSessionList>> sessions() override {
    platform_.log("sessions(" + label_ + ")");
    return fault_or(data_.sessions_fault, [&]() -> std::unique_ptr<AudioSessionList> {
      return std::make_unique<FakeSessionListObject>(platform_, data_, label_);
    });
  }
  Result<std::int32_t> data_flow() override {
    platform_.log("data_flow(" + label_ + ")");
    return fault_or(data_.data_flow_fault,
                    [&] { return data_.reported_flow.value_or(static_cast<std::int32_t>(flow_)); });
  }

 private:
  FakeAudioPlatform& platform_;
  LiveToken token_{platform_, &LiveObjects::endpoints};
  const FakeEndpoint& data_;
  DataFlow flow_;
  std::string label_;
};

class FakeEndpointListObject : public AudioEndpointList {
 public:
  FakeEndpointListObject(FakeAudioPlatform& platform, const FakeFlow& data, DataFlow flow)
      : platform_(platform), data_(data), flow_(flow) {}

  Result<std::uint32_t> count() override {
    platform_.log(std::string("count(") + flow_name(flow_) + ")");
    return fault_or(data_.count_fault,
                    [&] { return static_cast<std::uint32_t>(data_.endpoints.size()); });
  }
  Result<std::unique_ptr<AudioEndpoint>> item(std::uint32_t index) override {
    const std::string label = std::string(flow_name(flow_)) + "," + std::to_string(index);
    platform_.log("item(" + label + ")");
    const LiveObjects& live = platform_.live_objects();
    if (live.endpoints + live.session_lists + live.sessions > 0) platform_.note_overlap();
    if (index >= data_.endpoints.size()) return PlatformError(E_INVALIDARG_CODE);
    const FakeEndpoint& endpoint = data_.endpoints[index];
    return fault_or(endpoint.item_fault, [&]() -> std::unique_ptr<AudioEndpoint> {
      return std::make_unique<FakeEndpointObject>(platform_, endpoint, flow_, label);
    });
  }

 private:
  FakeAudioPlatform& platform_;
  LiveToken token_{platform_, &LiveObjects::endpoint_lists};
  const FakeFlow& data_;
  DataFlow flow_;
};

class FakeEnumeratorObject : public AudioDeviceEnumerator {
 public:
  explicit FakeEnumeratorObject(FakeAudioPlatform& platform) : platform_(platform) {}

  Result<std::unique_ptr<AudioEndpointList>> endpoints(DataFlow flow,
                                                       std::uint32_t state_mask) override {
    platform_.log(std::string("endpoints(") + flow_name(flow) + "," + std::to_string(state_mask) +
                  ")");
    const FakeFlow& data = flow_data(flow);
    return fault_or(data.enumerate_fault, [&]() -> std::unique_ptr<AudioEndpointList> {
      return std::make_unique<FakeEndpointListObject>(platform_, data, flow);
    });
  }

  Result<std::unique_ptr<AudioEndpoint>> default_endpoint(DataFlow flow, DeviceRole role) override {
    const std::string flow_role = std::string(flow_name(flow)) + "," + role_name(role);
    platform_.log("default_endpoint(" + flow_role + ")");
    if (platform_.live_objects().endpoints > 0) platform_.note_overlap();
    const auto& defaults = platform_.script().capture_defaults;
    const auto found = defaults.find(role);
    if (flow != DataFlow::capture || found == defaults.end()) return PlatformError(E_NOTFOUND_CODE);
    return fault_or(found->second.fault, [&]() -> std::unique_ptr<AudioEndpoint> {
      return std::make_unique<FakeDefaultEndpointObject>(platform_, found->second,
                                                         "default," + flow_role);
    });
  }

  Result<std::unique_ptr<AudioEndpoint>> device(std::string_view id) override {
    platform_.log("device(" + std::string(id) + ")");
    for (DataFlow flow : {DataFlow::render, DataFlow::capture}) {
      for (const FakeEndpoint& endpoint : flow_data(flow).endpoints) {
        if (endpoint.id != id) continue;
        return std::unique_ptr<AudioEndpoint>(
            new FakeEndpointObject(platform_, endpoint, flow, "device," + endpoint.id));
      }
    }
    return PlatformError(E_NOTFOUND_CODE);
  }

  Result<std::unique_ptr<EndpointRegistration>> register_endpoint_notifications(
      std::shared_ptr<EndpointNotificationSink> sink) override {
    platform_.log("register_endpoint_notifications");
    if (platform_.script().register_fault) return platform_.script().register_fault->make();
    platform_.set_notifications(std::move(sink));
    return std::unique_ptr<EndpointRegistration>(new FakeRegistration(platform_));
  }

 private:
  class FakeRegistration : public EndpointRegistration {
   public:
    explicit FakeRegistration(FakeAudioPlatform& platform) : platform_(platform) {}
    ~FakeRegistration() override {
      platform_.log("unregister_endpoint_notifications");
      platform_.set_notifications(nullptr);
    }

   private:
    FakeAudioPlatform& platform_;
  };

  // A default endpoint is only asked for its identifier.
  class FakeDefaultEndpointObject : public AudioEndpoint {
   public:
    FakeDefaultEndpointObject(FakeAudioPlatform& platform, const FakeDefault& data,
                              std::string label)
        : platform_(platform), data_(data), label_(std::move(label)) {}

    Result<std::string> id() override {
      platform_.log("id(" + label_ + ")");
      return fault_or(data_.id_fault, [&] { return data_.id; });
    }
    Result<std::unique_ptr<AudioSessionList>> sessions() override {
      platform_.log("sessions(" + label_ + ")");
      return PlatformError(E_INVALIDARG_CODE);
    }
    Result<std::int32_t> data_flow() override {
      platform_.log("data_flow(" + label_ + ")");
      return static_cast<std::int32_t>(DataFlow::capture);
    }

   private:
    FakeAudioPlatform& platform_;
    LiveToken token_{platform_, &LiveObjects::endpoints};
    const FakeDefault& data_;
    std::string label_;
  };

  const FakeFlow& flow_data(DataFlow flow) {
    return flow == DataFlow::render ? platform_.script().render : platform_.script().capture;
  }

  FakeAudioPlatform& platform_;
  LiveToken token_{platform_, &LiveObjects::enumerators};
};

}  // namespace

PlatformError Fault::make() const {
  if (!message) return PlatformError(code);
  return PlatformError(code, std::make_unique<FakeErrorDetail>(*message));
}

Result<std::unique_ptr<AudioDeviceEnumerator>> FakeAudioPlatform::create_device_enumerator() {
  log("create_device_enumerator");
  return fault_or(script_.enumerator_fault, [&]() -> std::unique_ptr<AudioDeviceEnumerator> {
    return std::make_unique<FakeEnumeratorObject>(*this);
  });
}

std::optional<std::string> FakeAudioPlatform::executable_name(std::uint32_t pid) {
  log("executable_name(" + std::to_string(pid) + ")");
  const auto found = script_.executables.find(pid);
  if (found == script_.executables.end()) return std::nullopt;
  return found->second;
}

}  // namespace kolvex::fake
