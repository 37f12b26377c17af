#pragma once

#include <pulse/def.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_platform.h"

// What the detector reads from a PulseAudio server, as plain values.

namespace kolvex::pulse {

// A sink (render) or a source (capture). Monitor sources are never endpoints; they are
// listed only so that they can be told apart.
struct EndpointValues {
  std::uint32_t index = 0;
  std::string name;  // the endpoint id: stable across server restarts, unlike the index
  std::uint32_t state = ENDPOINT_STATE_ACTIVE;
  bool monitor = false;

  friend bool operator==(const EndpointValues&, const EndpointValues&) = default;
};

// What a client says of its own process. One in a sandbox names a pid of its own pid
// namespace, which means another process here or none.
struct ProcessClaim {
  std::optional<std::uint32_t> pid;  // none also for a client on another host
  std::string binary;                // its executable's file name; empty: not said
  std::string sandbox_instance;      // the Flatpak instance PipeWire found it in; empty: none

  friend bool operator==(const ProcessClaim&, const ProcessClaim&) = default;
};

// The process behind a session, as far as it can be told: its pid in this program's view, or,
// for one that cannot be pointed at, only the name of its executable.
struct SessionProcess {
  std::optional<std::uint32_t> pid;
  std::string name;  // without a pid; both empty: the session is skipped

  friend bool operator==(const SessionProcess&, const SessionProcess&) = default;
};

// A sink-input or a source-output.
struct SessionValues {
  std::uint32_t index = 0;
  std::uint32_t endpoint_index = 0;  // PA_INVALID_INDEX while it is linked to none
  std::uint32_t client = PA_INVALID_INDEX;
  ProcessClaim claim;  // the stream's own
  bool corked = false;
  SessionProcess process;  // found once the clients are listed too

  friend bool operator==(const SessionValues&, const SessionValues&) = default;
};

// A connected client, for the sessions whose stream does not say which process it is.
struct ClientValues {
  std::uint32_t index = 0;
  std::optional<std::uint32_t> verified_pid;  // from the server's own look at the socket
  ProcessClaim claim;
};

// One consistent look at the server: everything came from one batch of requests.
struct ServerView {
  std::vector<EndpointValues> sinks;
  std::vector<EndpointValues> sources;
  std::vector<SessionValues> sink_inputs;
  std::vector<SessionValues> source_outputs;
  std::vector<ClientValues> clients;  // listed with the sessions
  std::string default_sink;           // empty: none
  std::string default_source;         // empty: none
};

// A view is shared, not copied: a poll that finds nothing changed takes the last one as it is.
using ViewPtr = std::shared_ptr<const ServerView>;

// Decimal digits only, no sign or blanks, within 32 bits.
std::optional<std::uint32_t> parse_process_id(std::string_view text);

// The pid a session's properties name on this machine. A client on another host names a pid
// that means nothing here, so it gives none.
std::optional<std::uint32_t> session_process_id(const char* process_id, const char* process_host,
                                                std::string_view local_host);

// What a session's process claims to be: what its stream says, else what its client says. A
// sandbox's instance is found on the client.
ProcessClaim session_claim(const ProcessClaim& stream_claim, const ClientValues* client);

// The pid PipeWire verified for a client. A client of pipewire-pulse is seen on the socket as
// pipewire-pulse itself, so its pid says nothing about the client.
std::optional<std::uint32_t> verified_client_pid(const char* sec_pid, const char* client_api);

// While no default is chosen, pipewire-pulse names placeholders ("@DEFAULT_SOURCE@") instead.
bool is_placeholder_default(std::string_view name);

// An endpoint whose active port is known to be unplugged is not active.
std::uint32_t endpoint_state(std::optional<pa_port_available_t> active_port_availability);

// The same for a sink's or source's info, whose active port may be missing.
template <class PortInfo>
std::uint32_t endpoint_state(const PortInfo* active_port) {
  if (!active_port) return endpoint_state(std::nullopt);
  return endpoint_state(static_cast<pa_port_available_t>(active_port->available));
}

}  // namespace kolvex::pulse
