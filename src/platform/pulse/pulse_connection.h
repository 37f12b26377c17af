#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "output/error_value.h"
#include "platform/pulse/pulse_handles.h"
#include "platform/pulse/pulse_values.h"

namespace kolvex::pulse {

// How long one connection attempt or one batch of requests may take before it counts as
// failed; a server that stops answering must not stop the detector.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{5};

// What a connection's subscription has heard about sessions, as its events are dispatched.
struct SessionNews {
  // Session kinds (SINK_INPUTS, SOURCE_OUTPUTS) changed since they were last listed.
  unsigned stale = 0;
  unsigned count = 0;  // events of either kind, ever
};

// A blocking connection to the server found by libpulse's usual lookup (PULSE_SERVER, the
// session's server, client.conf), used from one thread. It is kept while it stays healthy
// and replaced when it is not, so a server that restarted is found again by the next call.
// Sink-inputs and source-outputs are listed again only after the server announced a change to
// them: listing every session's properties is most of what a poll would otherwise cost.
class PulseConnection {
 public:
  // `local_host` is compared with the host a client reports to decide whether its pid is ours.
  explicit PulseConnection(std::string local_host);
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;
  ~PulseConnection();

  Result<ServerView> fetch_view();
  // The sink or else the non-monitor source of that name, in a view of its own that holds no
  // sessions; nothing when there is none.
  Result<std::optional<ServerView>> find_endpoint(std::string_view name);

 private:
  bool still_connected();
  Status connect();
  Status subscribe(std::chrono::steady_clock::time_point deadline);
  Result<ServerView> request_view();
  Result<ServerView> request_consistent_view();
  // Runs the loop until the server has said nothing about sessions for a moment.
  Status wait_until_quiet(std::chrono::steady_clock::time_point give_up);
  // Lists the endpoints and the session kinds in `kinds` into `view` in one batch.
  Status request_batch(unsigned kinds, ServerView& view);
  Result<std::optional<ServerView>> request_endpoint(const std::string& name);
  // Runs `request` on a healthy connection, once more on a new one if the server went away.
  template <class T, class Request>
  Result<T> on_healthy_connection(Request request);
  void disconnect();
  // Runs the loop until `done` holds, the context fails, or the deadline passes.
  template <class Done>
  Status run_until(Done done, std::chrono::steady_clock::time_point deadline);
  PlatformError context_error() const;

  std::string local_host_;
  MainloopPtr loop_;
  ContextPtr context_;
  SessionNews news_;
  ServerView sessions_;  // the sessions as last listed
};

}  // namespace kolvex::pulse
