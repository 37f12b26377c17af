#include "platform/pulse/endpoint_watch.h"

namespace kolvex::pulse {

void EndpointWatch::reset(const std::vector<WatchedEndpoint>& endpoints,
                          const std::string& default_sink, const std::string& default_source) {
  endpoints_.clear();
  for (const WatchedEndpoint& endpoint : endpoints) {
    endpoints_.insert_or_assign(Key{endpoint.flow, endpoint.values.index}, endpoint.values);
  }
  // A placeholder leaves the default as it was before, even across connections: lost notices
  // were reported by then, and the real name follows.
  if (!is_placeholder_default(default_sink)) {
    default_render_ = default_id(DataFlow::render, default_sink);
  }
  if (!is_placeholder_default(default_source)) {
    default_capture_ = default_id(DataFlow::capture, default_source);
  }
}

void EndpointWatch::forget_all() {
  endpoints_.clear();
}

void EndpointWatch::seen(const WatchedEndpoint& watched) {
  const EndpointValues& endpoint = watched.values;
  auto [it, inserted] = endpoints_.try_emplace(Key{watched.flow, endpoint.index}, endpoint);
  if (endpoint.monitor) return;
  if (inserted) {
    sink_.added(endpoint.name);
    return;
  }
  // Volume, mute and the like also arrive as changes; only availability is a state.
  const bool state_changed = it->second.state != endpoint.state;
  it->second = endpoint;
  if (state_changed) sink_.state_changed(endpoint.name, endpoint.state);
}

void EndpointWatch::gone(DataFlow flow, std::uint32_t index) {
  const auto it = endpoints_.find(Key{flow, index});
  if (it == endpoints_.end()) return;
  const EndpointValues endpoint = std::move(it->second);
  endpoints_.erase(it);
  if (!endpoint.monitor) sink_.removed(endpoint.name);
}

void EndpointWatch::defaults(const std::string& default_sink, const std::string& default_source) {
  std::optional<std::string> render = default_id(DataFlow::render, default_sink);
  if (!is_placeholder_default(default_sink) && render != default_render_) {
    default_render_ = std::move(render);
    announce_default(DataFlow::render, default_render_);
  }
  std::optional<std::string> capture = default_id(DataFlow::capture, default_source);
  if (!is_placeholder_default(default_source) && capture != default_capture_) {
    default_capture_ = std::move(capture);
    announce_default(DataFlow::capture, default_capture_);
  }
}

bool EndpointWatch::announced(const std::string& default_sink,
                              const std::string& default_source) const {
  const auto same = [this](DataFlow flow, const std::string& name,
                           const std::optional<std::string>& known) {
    return is_placeholder_default(name) || default_id(flow, name) == known;
  };
  return same(DataFlow::render, default_sink, default_render_) &&
         same(DataFlow::capture, default_source, default_capture_);
}

// A monitor made the default source is no microphone: to the detector there is then no
// default capture endpoint, as on Windows when the last one goes.
std::optional<std::string> EndpointWatch::default_id(DataFlow flow, const std::string& name) const {
  if (name.empty()) return std::nullopt;
  for (const auto& [key, endpoint] : endpoints_) {
    if (key.first == flow && endpoint.name == name && endpoint.monitor) return std::nullopt;
  }
  return name;
}

void EndpointWatch::announce_default(DataFlow flow, const std::optional<std::string>& id) {
  for (const DeviceRole role : {DeviceRole::console, DeviceRole::communications}) {
    sink_.default_changed(static_cast<std::int32_t>(flow), static_cast<std::int32_t>(role), id);
  }
}

}  // namespace kolvex::pulse
