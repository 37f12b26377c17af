#include "audio/process_identity.h"

#include "tracking/tracked_apps.h"

namespace kolvex {

std::optional<ProcessIdentity> identify_process(AudioPlatform& platform, std::uint32_t pid) {
  std::optional<std::string> bundle_id = platform.executable_name(pid);
  if (!bundle_id) return std::nullopt;
  const TrackedApp* app =
      lookup_tracked_app(*bundle_id, platform.executable_naming() == ExecutableNaming::linux
                                         ? TrackedAppTable(LINUX_TRACKED_APPS)
                                         : TrackedAppTable(TRACKED_APPS));
  std::string app_name = app != nullptr ? std::string(app->display_name) : *bundle_id;
  return ProcessIdentity{std::move(*bundle_id), std::move(app_name), app != nullptr};
}

}  // namespace kolvex
