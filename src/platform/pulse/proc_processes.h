#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pulse/proc_exe_names.h"
#include "platform/pulse/session_processes.h"

// The processes this program sees in /proc, and what /proc tells of the pid namespaces and
// sandboxes they run in.

namespace kolvex::pulse {

// A process's pid in the innermost pid namespace it belongs to: the last field of the "NSpid:"
// line of /proc/<pid>/status, where the outermost comes first.
std::optional<std::uint32_t> innermost_pid(std::string_view status);

// The instance id in a Flatpak app's /.flatpak-info ("instance-id" under "[Instance]").
std::string flatpak_instance(std::string_view info);

class ProcProcesses final : public ProcessTable {
 public:
  explicit ProcProcesses(ProcExeNames& names) : names_(names) {}

  std::optional<std::string> name(std::uint32_t pid) override { return names_.look_again(pid); }
  bool exists(std::uint32_t pid) override;
  std::vector<std::uint32_t> namesakes(std::uint32_t inner_pid, std::string_view name) override;
  std::string sandbox_instance(std::uint32_t pid) override;

 private:
  ProcExeNames& names_;
};

}  // namespace kolvex::pulse
