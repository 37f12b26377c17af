#include "platform/pulse/session_processes.h"

#include <algorithm>
#include <utility>

#include "base/text_encoding.h"

namespace kolvex::pulse {
namespace {

// A client names its program after its own /proc/self/exe, marked as the kernel marks a file
// that was replaced or removed while it ran; this program's view drops the mark.
std::string_view program(std::string_view binary) {
  constexpr std::string_view DELETED = " (deleted)";
  if (binary.ends_with(DELETED)) binary.remove_suffix(DELETED.size());
  return binary;
}

}  // namespace

SessionProcess find_session_process(std::optional<std::uint32_t> verified_pid,
                                    const ProcessClaim& claim, ProcessTable& processes) {
  // Verified in the server's pid namespace: where that is not this program's, it may name no
  // process here, and only the claim is left to go by.
  if (verified_pid && processes.exists(*verified_pid)) return {verified_pid, {}};
  if (!claim.pid) return {};
  if (claim.binary.empty()) return {claim.pid, {}};  // nothing to check it against
  const std::string_view claimed = program(claim.binary);
  const std::optional<std::string> seen = processes.name(*claim.pid);
  if (seen == claimed) return {claim.pid, {}};
  std::vector<std::uint32_t> found = processes.namesakes(*claim.pid, claimed);
  if (found.empty() && !seen && processes.exists(*claim.pid)) return {};
  if (found.size() > 1 && !claim.sandbox_instance.empty()) {
    std::erase_if(found, [&](std::uint32_t pid) {
      return processes.sandbox_instance(pid) != claim.sandbox_instance;
    });
  }
  if (found.size() == 1) return {found.front(), {}};
  if (claimed.empty() || !is_valid_utf8(claimed)) return {};
  return {std::nullopt, std::string(claimed)};
}

void SessionProcesses::find(ServerView& view) {
  find(view.sink_inputs, view.clients);
  find(view.source_outputs, view.clients);
  std::erase_if(known_, [&view](const auto& known) {
    return std::ranges::find(view.clients, std::get<0>(known.first), &ClientValues::index) ==
           view.clients.end();
  });
}

void SessionProcesses::find(std::vector<SessionValues>& sessions,
                            const std::vector<ClientValues>& clients) {
  for (SessionValues& session : sessions) {
    const auto listed = std::ranges::find(clients, session.client, &ClientValues::index);
    const ClientValues* client = listed == clients.end() ? nullptr : &*listed;
    const ProcessClaim claim = session_claim(session.claim, client);
    const auto [known, added] =
        known_.try_emplace(Key{session.client, claim.pid, claim.binary, claim.sandbox_instance});
    if (added) {
      known->second =
          find_session_process(client ? client->verified_pid : std::nullopt, claim, processes_);
      // A process met before may have started another program since; its new connection says so.
      if (known->second.pid) processes_.name(*known->second.pid);
    }
    session.process = known->second;
  }
}

}  // namespace kolvex::pulse
