#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/pulse/pulse_values.h"

// Which process is behind a session. PulseAudio verifies nothing a client says of itself, and a
// client in a sandbox (Flatpak, a container) says a pid of its own pid namespace; this program
// may itself run in one. A claim is taken only where it checks out against what this program
// sees, or where nothing can be checked.

namespace kolvex::pulse {

// The processes this program can see, as far as a claim needs them.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // The file name of the executable of the process with this pid, as it is now; nothing when
  // there is no such process or it cannot be read.
  virtual std::optional<std::string> name(std::uint32_t pid) = 0;
  virtual bool exists(std::uint32_t pid) = 0;
  // The processes whose pid in their own innermost pid namespace is `inner_pid` and whose
  // executable is named `name`, by their pids here. Looks at every process.
  virtual std::vector<std::uint32_t> namesakes(std::uint32_t inner_pid, std::string_view name) = 0;
  // The Flatpak instance the process runs in; empty when none or unknown.
  virtual std::string sandbox_instance(std::uint32_t pid) = 0;
};

// The verified pid where it names a process here, else the claimed pid where the process there runs
// the claimed program (or the claim names no program), else the one process of another namespace
// that has that pid there and runs that program, told apart by its sandbox instance where it takes
// that. When none is found, the client runs where this program cannot see (this program is the one
// in a sandbox); when several, which one cannot be told: either way only the claimed name is known.
// A claimed pid here whose program cannot be named may be the client's own: left out, as any
// process that cannot be named.
SessionProcess find_session_process(std::optional<std::uint32_t> verified_pid,
                                    const ProcessClaim& claim, ProcessTable& processes);

// The processes of the sessions of one connection. A client stays the process it connected
// from, so its claim is checked once, when it is first listed, and forgotten once it is no
// longer listed.
class SessionProcesses {
 public:
  explicit SessionProcesses(ProcessTable& processes) : processes_(processes) {}

  // Fills in the process of every session of `view`, whose clients are listed with them.
  void find(ServerView& view);
  // For a new connection, whose clients are numbered afresh.
  void forget_all() { known_.clear(); }

 private:
  using Key = std::tuple<std::uint32_t, std::optional<std::uint32_t>, std::string, std::string>;
  void find(std::vector<SessionValues>& sessions, const std::vector<ClientValues>& clients);

  ProcessTable& processes_;
  std::map<Key, SessionProcess> known_;
};

}  // namespace kolvex::pulse
