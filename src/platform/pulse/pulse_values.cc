#include "platform/pulse/pulse_values.h"

namespace kolvex::pulse {

std::optional<std::uint32_t> parse_process_id(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> session_process_id(const char* process_id, const char* process_host,
                                                std::string_view local_host) {
  if (!process_id) return std::nullopt;
  if (process_host && std::string_view(process_host) != local_host) return std::nullopt;
  return parse_process_id(process_id);
}

ProcessClaim session_claim(const ProcessClaim& stream_claim, const ClientValues* client) {
  if (!client) return stream_claim;
  ProcessClaim claim = stream_claim.pid ? stream_claim : client->claim;
  if (claim.sandbox_instance.empty()) claim.sandbox_instance = client->claim.sandbox_instance;
  return claim;
}

std::optional<std::uint32_t> verified_client_pid(const char* sec_pid, const char* client_api) {
  if (!sec_pid || (client_api && std::string_view(client_api) == "pipewire-pulse")) return {};
  return parse_process_id(sec_pid);
}

bool is_placeholder_default(std::string_view name) {
  return name == "@DEFAULT_SOURCE@" || name == "@DEFAULT_SINK@" || name == "@DEFAULT_MONITOR@";
}

std::uint32_t endpoint_state(std::optional<pa_port_available_t> active_port_availability) {
  if (active_port_availability == PA_PORT_AVAILABLE_NO) return ENDPOINT_STATE_UNPLUGGED;
  return ENDPOINT_STATE_ACTIVE;
}

}  // namespace kolvex::pulse
