#include "audio/process_identity.h"

#include <utility>

#include "tracking/tracked_apps.h"

namespace kolvex {

std::optional<ProcessIdentity> identify_process(AudioPlatform& platform, std::uint32_t pid) {
  std::optional<std::string> bundle_id = platform.executable_name(pid);
  if (!bundle_id) return std::nullopt;
  return identify_executable(platform.executable_naming(), std::move(*bundle_id));
}

ProcessIdentity identify_executable(ExecutableNaming naming, std::string bundle_id) {
  const TrackedApp* app = lookup_tracked_app(bundle_id, naming == ExecutableNaming::linux
                                                            ? TrackedAppTable(LINUX_TRACKED_APPS)
                                                            : TrackedAppTable(TRACKED_APPS));
  std::string app_name = app != nullptr ? std::string(app->display_name) : bundle_id;
  return ProcessIdentity{std::move(bundle_id), std::move(app_name), app != nullptr};
}

}  // namespace kolvex
