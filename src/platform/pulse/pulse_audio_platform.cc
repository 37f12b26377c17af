#include "platform/pulse/pulse_audio_platform.h"

#include <pulse/error.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "platform/pulse/proc_exe_names.h"
#include "platform/pulse/proc_processes.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_subscription.h"
#include "platform/pulse/pulse_values.h"

namespace kolvex::pulse {
namespace {

const std::vector<EndpointValues>& endpoints_of(const ServerView& view, DataFlow flow) {
  return flow == DataFlow::render ? view.sinks : view.sources;
}

const std::vector<SessionValues>& sessions_of(const ServerView& view, DataFlow flow) {
  return flow == DataFlow::render ? view.sink_inputs : view.source_outputs;
}

// Sessions refer into the view they were listed in, which they keep.
class PulseSession final : public AudioSession {
 public:
  PulseSession(ViewPtr view, const SessionValues& values)
      : view_(std::move(view)), values_(values) {}

  Result<std::uint32_t> process_id() override {
    if (!values_.process.pid) return pulse_error(PA_ERR_NOENTITY);
    return *values_.process.pid;
  }
  std::optional<std::string> claimed_executable() override {
    if (values_.process.pid || values_.process.name.empty()) return std::nullopt;
    return values_.process.name;
  }
  Result<bool> is_active() override { return !values_.corked; }

 private:
  ViewPtr view_;
  const SessionValues& values_;
};

class PulseSessionList final : public AudioSessionList {
 public:
  PulseSessionList(ViewPtr view, std::vector<const SessionValues*> sessions)
      : view_(std::move(view)), sessions_(std::move(sessions)) {}

  Result<std::int32_t> count() override { return static_cast<std::int32_t>(sessions_.size()); }
  Result<std::unique_ptr<AudioSession>> session(std::int32_t index) override {
    if (index < 0 || static_cast<std::size_t>(index) >= sessions_.size()) {
      return pulse_error(PA_ERR_INVALID);
    }
    return std::make_unique<PulseSession>(view_, *sessions_[static_cast<std::size_t>(index)]);
  }

 private:
  ViewPtr view_;
  std::vector<const SessionValues*> sessions_;
};

class PulseEndpoint final : public AudioEndpoint {
 public:
  // With a connection, the sessions are read from the server when asked for, not from `view`.
  PulseEndpoint(ViewPtr view, DataFlow flow, EndpointValues values,
                PulseConnection* sessions_from = nullptr)
      : view_(std::move(view)),
        flow_(flow),
        values_(std::move(values)),
        sessions_from_(sessions_from) {}

  Result<std::string> id() override { return values_.name; }
  Result<std::unique_ptr<AudioSessionList>> sessions() override {
    ViewPtr view = view_;
    if (sessions_from_) {
      Result<ViewPtr> fresh = sessions_from_->fetch_view();
      if (!fresh) return fresh.take_error();
      view = std::move(*fresh);
    }
    std::vector<const SessionValues*> mine;
    for (const SessionValues& session : sessions_of(*view, flow_)) {
      if (session.endpoint_index == values_.index) mine.push_back(&session);
    }
    return std::make_unique<PulseSessionList>(std::move(view), std::move(mine));
  }
  Result<std::int32_t> data_flow() override { return static_cast<std::int32_t>(flow_); }

 private:
  ViewPtr view_;
  DataFlow flow_;
  EndpointValues values_;
  PulseConnection* sessions_from_;
};

class PulseEndpointList final : public AudioEndpointList {
 public:
  PulseEndpointList(ViewPtr view, DataFlow flow, std::vector<EndpointValues> endpoints)
      : view_(std::move(view)), flow_(flow), endpoints_(std::move(endpoints)) {}

  Result<std::uint32_t> count() override { return static_cast<std::uint32_t>(endpoints_.size()); }
  Result<std::unique_ptr<AudioEndpoint>> item(std::uint32_t index) override {
    if (index >= endpoints_.size()) return pulse_error(PA_ERR_INVALID);
    return std::make_unique<PulseEndpoint>(view_, flow_, endpoints_[index]);
  }

 private:
  ViewPtr view_;
  DataFlow flow_;
  std::vector<EndpointValues> endpoints_;
};

// Answers from one view of the server, so that a snapshot's render pass, defaults and capture
// pass all describe the same moment. Listing a flow a second time takes a new view: the
// enumerator kept for the whole run is asked again each time the endpoints are rebuilt.
class PulseDeviceEnumerator final : public AudioDeviceEnumerator {
 public:
  PulseDeviceEnumerator(PulseConnection& connection, ViewPtr view)
      : connection_(connection), view_(std::move(view)) {}

  Result<std::unique_ptr<AudioEndpointList>> endpoints(DataFlow flow,
                                                       std::uint32_t state_mask) override {
    bool& listed = listed_from_view_[flow == DataFlow::render ? 0 : 1];
    if (listed) {
      Result<ViewPtr> fresh = connection_.fetch_view();
      if (!fresh) return fresh.take_error();
      view_ = std::move(*fresh);
      listed_from_view_ = {};
    }
    listed = true;
    std::vector<EndpointValues> matching;
    for (const EndpointValues& endpoint : endpoints_of(*view_, flow)) {
      if (endpoint.state & state_mask) matching.push_back(endpoint);
    }
    return std::make_unique<PulseEndpointList>(view_, flow, std::move(matching));
  }

  // The server has one default source and one default sink, whatever the role.
  Result<std::unique_ptr<AudioEndpoint>> default_endpoint(DataFlow flow, DeviceRole) override {
    const std::string& name =
        flow == DataFlow::render ? view_->default_sink : view_->default_source;
    return find(view_, flow, name);
  }

  // Asked about endpoints the detector has not seen yet, so always of the server as it is now.
  Result<std::unique_ptr<AudioEndpoint>> device(std::string_view id) override {
    Result<std::optional<ServerView>> found = connection_.find_endpoint(id);
    if (!found) return found.take_error();
    if (!*found) return pulse_error(PA_ERR_NOENTITY);
    const auto view = std::make_shared<const ServerView>(std::move(**found));
    const DataFlow flow = view->sinks.empty() ? DataFlow::capture : DataFlow::render;
    return std::make_unique<PulseEndpoint>(view, flow, endpoints_of(*view, flow).front(),
                                           &connection_);
  }

  Result<std::unique_ptr<EndpointRegistration>> register_endpoint_notifications(
      std::shared_ptr<EndpointNotificationSink> sink) override {
    return subscribe_to_endpoints(std::move(sink), connection_.heard_elsewhere());
  }

 private:
  static Result<std::unique_ptr<AudioEndpoint>> find(const ViewPtr& view, DataFlow flow,
                                                     std::string_view name) {
    for (const EndpointValues& endpoint : endpoints_of(*view, flow)) {
      if (!name.empty() && endpoint.name == name) {
        return std::make_unique<PulseEndpoint>(view, flow, endpoint);
      }
    }
    return pulse_error(PA_ERR_NOENTITY);
  }

  PulseConnection& connection_;
  ViewPtr view_;
  std::array<bool, 2> listed_from_view_{};  // render, capture
};

std::string local_host_name() {
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

class PulseAudioPlatform final : public AudioPlatform {
 public:
  PulseAudioPlatform() : connection_(local_host_name(), session_processes_) {}

  void begin_poll() override { exe_names_.begin_poll(); }

  Result<std::unique_ptr<AudioDeviceEnumerator>> create_device_enumerator() override {
    Result<ViewPtr> view = connection_.fetch_view();
    if (!view) return view.take_error();
    return std::make_unique<PulseDeviceEnumerator>(connection_, std::move(*view));
  }

  ExecutableNaming executable_naming() const override { return ExecutableNaming::linux; }

  // On PipeWire a new stream, or one moved to another source, is for 15-30 ms linked to no
  // source, then for 5-11 ms corked.
  SessionSettle session_settle() const override {
    return {std::chrono::milliseconds(50), std::chrono::milliseconds(150)};
  }

  std::optional<std::string> executable_name(std::uint32_t pid) override {
    return exe_names_.name(pid);
  }

 private:
  ProcExeNames exe_names_;
  ProcProcesses processes_{exe_names_};
  SessionProcesses session_processes_{processes_};
  PulseConnection connection_;
};

}  // namespace

std::unique_ptr<AudioPlatform> make_pulse_audio_platform() {
  return std::make_unique<PulseAudioPlatform>();
}

}  // namespace kolvex::pulse
