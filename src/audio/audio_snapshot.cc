#include "audio/audio_snapshot.h"

#include <map>
#include <set>
#include <utility>

#include "audio/process_identity.h"

namespace kolvex {
namespace {

// What one process's sessions add up to across all endpoints of one snapshot.
struct SessionAccumulator {
  std::set<CaptureEndpointRole> capture_roles;
  bool renderActive = false;
  bool captureActive = false;
};

// Processes by pid, and those known only by their executable's name by that name.
struct SessionAccumulators {
  std::map<std::uint32_t, SessionAccumulator> by_pid;
  std::map<std::string, SessionAccumulator> by_name;

  SessionAccumulator* of(AudioSession& session) {
    if (Result<std::uint32_t> pid = session.process_id()) return &by_pid[*pid];
    if (std::optional<std::string> name = session.claimed_executable()) return &by_name[*name];
    return nullptr;
  }
};

void record_session(SessionAccumulator& accumulator, DataFlow flow, CaptureEndpointRole role,
                    bool is_active) {
  if (!is_active) return;
  if (flow == DataFlow::render) {
    accumulator.renderActive = true;
  } else {
    accumulator.captureActive = true;
    accumulator.capture_roles.insert(role);
  }
}

// Failures here only cost this endpoint or this session; the pass goes on.
void collect_sessions(AudioEndpoint& endpoint, DataFlow flow, CaptureEndpointRole role,
                      SessionAccumulators& accumulators) {
  Result<std::unique_ptr<AudioSessionList>> sessions = endpoint.sessions();
  if (!sessions) return;
  Result<std::int32_t> count = (*sessions)->count();
  if (!count) return;
  for (std::int32_t i = 0; i < *count; ++i) {
    Result<std::unique_ptr<AudioSession>> session = (*sessions)->session(i);
    if (!session) continue;
    SessionAccumulator* accumulator = accumulators.of(**session);
    if (!accumulator) continue;
    Result<bool> is_active = (*session)->is_active();
    record_session(*accumulator, flow, role, is_active.ok() && *is_active);
  }
}

CaptureEndpointRole endpoint_role(AudioEndpoint& endpoint, DataFlow flow,
                                  const DefaultCaptureIds* defaults) {
  if (flow == DataFlow::render) return CaptureEndpointRole::unknown;
  Result<std::string> id = endpoint.id();
  std::optional<std::string> known_id;
  if (id) known_id = std::move(*id);
  return classify_capture_endpoint(known_id, defaults ? *defaults : DefaultCaptureIds{});
}

std::optional<std::string> default_capture_endpoint_id(AudioDeviceEnumerator& enumerator,
                                                       DeviceRole role) {
  Result<std::unique_ptr<AudioEndpoint>> endpoint =
      enumerator.default_endpoint(DataFlow::capture, role);
  if (!endpoint) return std::nullopt;
  Result<std::string> id = (*endpoint)->id();
  if (!id) return std::nullopt;
  return std::move(*id);
}

DefaultCaptureIds read_default_capture_ids(AudioDeviceEnumerator& enumerator) {
  DefaultCaptureIds defaults;
  defaults.communications_default_id =
      default_capture_endpoint_id(enumerator, DeviceRole::communications);
  defaults.console_default_id = default_capture_endpoint_id(enumerator, DeviceRole::console);
  return defaults;
}

void add_entry(AudioProcessSnapshot& snapshot, ProcessIdentity identity,
               std::optional<std::uint32_t> pid, const SessionAccumulator& accumulator) {
  AudioProcessEntry& entry = snapshot.emplace_back();
  entry.bundleId = std::move(identity.bundleId);
  entry.appName = std::move(identity.appName);
  entry.tracked = identity.tracked;
  entry.pid = pid;
  entry.renderActive = accumulator.renderActive;
  entry.captureActive = accumulator.captureActive;
  entry.active = accumulator.captureActive;
  entry.captureEndpointRole = fold_capture_role(accumulator.capture_roles);
}

AudioProcessSnapshot build_entries(AudioPlatform& platform,
                                   const SessionAccumulators& accumulators) {
  AudioProcessSnapshot snapshot;
  for (const auto& [name, accumulator] : accumulators.by_name) {
    add_entry(snapshot, identify_executable(platform.executable_naming(), name), std::nullopt,
              accumulator);
  }
  for (const auto& [pid, accumulator] : accumulators.by_pid) {
    if (pid == 0) continue;
    std::optional<ProcessIdentity> identity = identify_process(platform, pid);
    if (identity) add_entry(snapshot, std::move(*identity), pid, accumulator);
  }
  return snapshot;
}

// One data flow's active endpoints and their sessions; `defaults` is given for the capture pass
// only.
Status collect_endpoint_sessions(AudioDeviceEnumerator& enumerator, DataFlow flow,
                                 const DefaultCaptureIds* defaults,
                                 SessionAccumulators& accumulators) {
  Result<std::unique_ptr<AudioEndpointList>> endpoints =
      enumerator.endpoints(flow, ENDPOINT_STATE_ACTIVE);
  if (!endpoints) return endpoints.take_error();
  Result<std::uint32_t> count = (*endpoints)->count();
  if (!count) return count.take_error();
  for (std::uint32_t i = 0; i < *count; ++i) {
    // Scoped to one iteration: an endpoint and its sessions are gone before the next is fetched.
    Result<std::unique_ptr<AudioEndpoint>> endpoint = (*endpoints)->item(i);
    if (!endpoint) return endpoint.take_error();
    const CaptureEndpointRole role = endpoint_role(**endpoint, flow, defaults);
    collect_sessions(**endpoint, flow, role, accumulators);
  }
  return {};
}

}  // namespace

Result<AudioProcessSnapshot> take_audio_process_snapshot(AudioPlatform& platform) {
  platform.begin_poll();
  Result<std::unique_ptr<AudioDeviceEnumerator>> enumerator = platform.create_device_enumerator();
  if (!enumerator) return enumerator.take_error();
  SessionAccumulators accumulators;
  Status render = collect_endpoint_sessions(**enumerator, DataFlow::render, nullptr, accumulators);
  if (!render.ok()) return render.take_error().context("render endpoint");
  const DefaultCaptureIds defaults = read_default_capture_ids(**enumerator);
  Status capture =
      collect_endpoint_sessions(**enumerator, DataFlow::capture, &defaults, accumulators);
  if (!capture.ok()) return capture.take_error().context("capture endpoint");
  return build_entries(platform, accumulators);
}

CaptureEndpointRole classify_capture_endpoint(const std::optional<std::string>& endpoint_id,
                                              const DefaultCaptureIds& defaults) {
  if (!endpoint_id) return CaptureEndpointRole::unknown;
  if (defaults.communications_default_id == endpoint_id) return CaptureEndpointRole::communications;
  if (defaults.console_default_id == endpoint_id) return CaptureEndpointRole::system_default;
  return CaptureEndpointRole::other;
}

CaptureEndpointRole fold_capture_role(const std::set<CaptureEndpointRole>& capture_roles) {
  if (capture_roles.empty()) return CaptureEndpointRole::unknown;
  if (capture_roles.size() > 1) return CaptureEndpointRole::ambiguous;
  return *capture_roles.begin();
}

}  // namespace kolvex
