#include "platform/pulse/pulse_audio_platform.h"

#include <fcntl.h>
#include <pulse/error.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_error.h"
#include "platform/pulse/pulse_handles.h"
#include "platform/pulse/pulse_subscription.h"
#include "platform/pulse/pulse_values.h"

namespace kolvex::pulse {
namespace {

using ViewPtr = std::shared_ptr<const ServerView>;

const std::vector<EndpointValues>& endpoints_of(const ServerView& view, DataFlow flow) {
  return flow == DataFlow::render ? view.sinks : view.sources;
}

const std::vector<SessionValues>& sessions_of(const ServerView& view, DataFlow flow) {
  return flow == DataFlow::render ? view.sink_inputs : view.source_outputs;
}

class PulseSession final : public AudioSession {
 public:
  explicit PulseSession(SessionValues values) : values_(values) {}

  Result<std::uint32_t> process_id() override {
    if (!values_.pid) return pulse_error(PA_ERR_NOENTITY);
    return *values_.pid;
  }
  Result<bool> is_active() override { return !values_.corked; }

 private:
  SessionValues values_;
};

class PulseSessionList final : public AudioSessionList {
 public:
  explicit PulseSessionList(std::vector<SessionValues> sessions) : sessions_(std::move(sessions)) {}

  Result<std::int32_t> count() override { return static_cast<std::int32_t>(sessions_.size()); }
  Result<std::unique_ptr<AudioSession>> session(std::int32_t index) override {
    if (index < 0 || static_cast<std::size_t>(index) >= sessions_.size()) {
      return pulse_error(PA_ERR_INVALID);
    }
    return std::make_unique<PulseSession>(sessions_[static_cast<std::size_t>(index)]);
  }

 private:
  std::vector<SessionValues> sessions_;
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
      Result<ServerView> fresh = sessions_from_->fetch_view();
      if (!fresh) return fresh.take_error();
      view = std::make_shared<const ServerView>(std::move(*fresh));
    }
    std::vector<SessionValues> mine;
    for (const SessionValues& session : sessions_of(*view, flow_)) {
      if (session.endpoint_index == values_.index) mine.push_back(session);
    }
    return std::make_unique<PulseSessionList>(std::move(mine));
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
      Result<ServerView> fresh = connection_.fetch_view();
      if (!fresh) return fresh.take_error();
      view_ = std::make_shared<const ServerView>(std::move(*fresh));
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
    return subscribe_to_endpoints(std::move(sink));
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

// The executable names of the processes of recent polls. A process keeps the name it had while
// it runs the same file (device and inode behind /proc/<pid>/exe), even after the file was
// renamed or replaced; an exec of another program gives a new one. Each /proc/<pid>/exe link
// is held open and read on every poll (reading an open link skips the path lookup, most of
// what reading it by name costs); only when its target changed is the file looked at. An open
// link stops answering when its process ends, so a pid taken by another process is looked at
// afresh.
class ExeNames {
 public:
  // Closes the links no lookup used since the last call.
  void forget_unused() {
    for (auto it = known_.begin(); it != known_.end();) {
      it = std::exchange(it->second.used, false) ? std::next(it) : known_.erase(it);
    }
  }

  std::optional<std::string> name(std::uint32_t pid) {
    Target target;
    if (const auto it = known_.find(pid); it != known_.end()) {
      Known& known = it->second;
      if (target.read(known.link.get())) {
        known.used = true;
        if (target.path() == known.target) return known.name;
        std::optional<Image> image = image_of(pid);
        if (!image || *image != known.image) {
          known.name = target.name();
          if (image) known.image = *image;
        }
        known.target = target.path();
        return known.name;
      }
      known_.erase(it);
    }
    // The file before the target: an exec in between leaves a mismatch for the next poll.
    const std::optional<Image> image = image_of(pid);
    UniqueFd link(open(exe_path(pid).data(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!image || !link || !target.read(link.get())) return std::nullopt;
    std::optional<std::string> name = target.name();
    // Well below the usual limit of 1024 open files.
    if (known_.size() < 256) {
      known_.emplace(pid, Known{std::move(link), std::string(target.path()), *image, name, true});
    }
    return name;
  }

 private:
  struct Image {
    dev_t device;
    ino_t inode;
    friend bool operator==(const Image&, const Image&) = default;
  };

  class Target {
   public:
    bool read(int link) {
      const ssize_t read = readlinkat(link, "", bytes_.data(), bytes_.size());
      if (read <= 0 || static_cast<std::size_t>(read) >= bytes_.size()) return false;
      length_ = static_cast<std::size_t>(read);
      bytes_[length_] = '\0';
      return true;
    }
    std::string_view path() const { return {bytes_.data(), length_}; }
    std::optional<std::string> name() const {
      struct stat status {};
      const bool exists = !path().ends_with(" (deleted)") || stat(bytes_.data(), &status) == 0;
      return exe_name_from_link(path(), exists);
    }

   private:
    std::array<char, PATH_MAX> bytes_;
    std::size_t length_ = 0;
  };

  struct Known {
    UniqueFd link;
    std::string target;
    Image image;
    std::optional<std::string> name;
    bool used;
  };

  static std::array<char, 32> exe_path(std::uint32_t pid) {
    std::array<char, 32> path{};
    constexpr std::string_view PROC = "/proc/", EXE = "/exe";
    char* end =
        std::to_chars(std::copy(PROC.begin(), PROC.end(), path.data()), path.data() + 20, pid).ptr;
    std::copy(EXE.begin(), EXE.end(), end);
    return path;
  }

  static std::optional<Image> image_of(std::uint32_t pid) {
    struct stat image {};
    if (stat(exe_path(pid).data(), &image) != 0) return std::nullopt;
    return Image{image.st_dev, image.st_ino};
  }

  std::unordered_map<std::uint32_t, Known> known_;
};

class PulseAudioPlatform final : public AudioPlatform {
 public:
  PulseAudioPlatform() : connection_(local_host_name()) {}

  void begin_poll() override { exe_names_.forget_unused(); }

  Result<std::unique_ptr<AudioDeviceEnumerator>> create_device_enumerator() override {
    Result<ServerView> view = connection_.fetch_view();
    if (!view) return view.take_error();
    return std::make_unique<PulseDeviceEnumerator>(
        connection_, std::make_shared<const ServerView>(std::move(*view)));
  }

  ExecutableNaming executable_naming() const override { return ExecutableNaming::linux; }

  std::optional<std::string> executable_name(std::uint32_t pid) override {
    return exe_names_.name(pid);
  }

 private:
  PulseConnection connection_;
  ExeNames exe_names_;
};

}  // namespace

std::unique_ptr<AudioPlatform> make_pulse_audio_platform() {
  return std::make_unique<PulseAudioPlatform>();
}

}  // namespace kolvex::pulse
