#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_platform.h"
#include "platform/pulse/pulse_values.h"

namespace kolvex::pulse {

// A sink or source as the subscription learns of it. Monitors are remembered only so that
// their events and a monitor as the default source can be told apart from real endpoints.
struct WatchedEndpoint {
  DataFlow flow = DataFlow::render;
  EndpointValues values;
};

// Turns what a subscription hears into the notifications Windows would send. Subscription
// events carry only an index, and sinks and sources number theirs separately, so the watch
// remembers each endpoint by flow and index.
class EndpointWatch {
 public:
  explicit EndpointWatch(EndpointNotificationSink& sink) : sink_(sink) {}

  // Starts over from a full listing, announcing nothing. Endpoints are forgotten when a
  // connection is lost (indexes start anew), defaults are not (names stay).
  void reset(const std::vector<WatchedEndpoint>& endpoints, const std::string& default_sink,
             const std::string& default_source);
  void forget_all();

  // An endpoint that was new, or changed, or simply listed again.
  void seen(const WatchedEndpoint& endpoint);
  void gone(DataFlow flow, std::uint32_t index);
  // The server's defaults; an empty name means none, a placeholder that none is chosen yet.
  void defaults(const std::string& default_sink, const std::string& default_source);
  // Whether those are the defaults last announced; a placeholder stands for whatever was.
  bool announced(const std::string& default_sink, const std::string& default_source) const;

 private:
  using Key = std::pair<DataFlow, std::uint32_t>;
  std::optional<std::string> default_id(DataFlow flow, const std::string& name) const;
  void announce_default(DataFlow flow, const std::optional<std::string>& id);

  EndpointNotificationSink& sink_;
  std::map<Key, EndpointValues> endpoints_;
  std::optional<std::string> default_render_;
  std::optional<std::string> default_capture_;
};

}  // namespace kolvex::pulse
