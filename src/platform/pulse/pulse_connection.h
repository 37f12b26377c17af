#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/error_value.h"
#include "platform/pulse/pulse_handles.h"
#include "platform/pulse/pulse_values.h"
#include "platform/pulse/session_cache.h"
#include "platform/pulse/session_processes.h"

namespace kolvex::pulse {

struct ServerListing;

// How long one connection attempt or one batch of requests may take before it counts as
// failed; a server that stops answering must not stop the detector.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{5};

// A blocking connection to the server found by libpulse's usual lookup (PULSE_SERVER, the
// session's server, client.conf), used from one thread. It is kept while it stays healthy
// and replaced when it is not, so a server that restarted is found again by the next call.
class PulseConnection {
 public:
  // `local_host` is compared with the host a client reports to decide whether its pid is ours;
  // `processes` finds the process behind each session listed.
  PulseConnection(std::string local_host, SessionProcesses& processes);
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;
  ~PulseConnection();

  Result<ViewPtr> fetch_view();
  // The sink or else the non-monitor source of that name, in a view of its own that holds no
  // sessions; nothing when there is none.
  Result<std::optional<ServerView>> find_endpoint(std::string_view name);
  // Told from any thread what another connection heard first; when it says that the defaults
  // this connection reads are out of date, the next call makes a new connection.
  const std::shared_ptr<HeardElsewhere>& heard_elsewhere() const { return heard_elsewhere_; }

 private:
  bool still_connected();
  Status connect();
  Status subscribe(std::chrono::steady_clock::time_point deadline);
  // Runs the loop until the server has said nothing about sessions for a moment.
  Status wait_until_quiet(std::chrono::steady_clock::time_point give_up);
  // Lists what `kinds` names (SessionCache's bits) into `view` in one batch.
  Status request_batch(unsigned kinds, ServerView& view);
  Result<std::optional<ServerView>> request_endpoint(const std::string& name);
  // Runs the loop until every request was answered into `listing`, without monitor sources.
  Status await(std::span<const OperationPtr> operations, ServerListing& listing,
               std::chrono::steady_clock::time_point deadline);
  // Runs `request` on a healthy connection, once more on a new one if the server went away.
  template <class T, class Request>
  Result<T> on_healthy_connection(Request request);
  void disconnect();
  // Runs the loop until `done` holds, the context fails, or the deadline passes.
  template <class Done>
  Status run_until(Done done, std::chrono::steady_clock::time_point deadline);
  PlatformError context_error() const;

  std::string local_host_;
  SessionProcesses& processes_;
  std::shared_ptr<HeardElsewhere> heard_elsewhere_ = std::make_shared<HeardElsewhere>();
  MainloopPtr loop_;
  ContextPtr context_;
  SessionCache sessions_;
};

}  // namespace kolvex::pulse
