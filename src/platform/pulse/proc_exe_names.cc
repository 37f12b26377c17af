#include "platform/pulse/proc_exe_names.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <iterator>
#include <utility>

#include "base/text_encoding.h"

namespace kolvex::pulse {
namespace {

std::array<char, 32> exe_path(std::uint32_t pid) {
  std::array<char, 32> path{};
  constexpr std::string_view PROC = "/proc/", EXE = "/exe";
  char* end =
      std::to_chars(std::copy(PROC.begin(), PROC.end(), path.data()), path.data() + 20, pid).ptr;
  std::copy(EXE.begin(), EXE.end(), end);
  return path;
}

class Target {
 public:
  bool read(int link) {
    const ssize_t read = readlinkat(link, "", bytes_.data(), bytes_.size());
    if (read <= 0 || static_cast<std::size_t>(read) >= bytes_.size()) return false;
    length_ = static_cast<std::size_t>(read);
    bytes_[length_] = '\0';
    return true;
  }
  std::string_view path() const { return {bytes_.data(), length_}; }
  std::optional<std::string> name() const {
    struct stat status {};
    const bool exists = !path().ends_with(" (deleted)") || stat(bytes_.data(), &status) == 0;
    return exe_name_from_link(path(), exists);
  }

 private:
  std::array<char, PATH_MAX> bytes_;
  std::size_t length_ = 0;
};

}  // namespace

std::optional<std::string> exe_name_from_link(std::string_view target, bool target_exists) {
  constexpr std::string_view DELETED = " (deleted)";
  if (!target_exists && target.ends_with(DELETED)) target.remove_suffix(DELETED.size());
  const std::size_t slash = target.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view name = target.substr(slash + 1);
  if (name.empty() || !is_valid_utf8(name)) return std::nullopt;
  return std::string(name);
}

void ProcExeNames::forget_unused() {
  for (auto it = known_.begin(); it != known_.end();) {
    it = std::exchange(it->second.used, false) ? std::next(it) : known_.erase(it);
  }
}

std::optional<std::string> ProcExeNames::name(std::uint32_t pid) {
  Target target;
  if (const auto it = known_.find(pid); it != known_.end()) {
    Known& known = it->second;
    if (target.read(known.link.get())) {
      known.used = true;
      if (target.path() == known.target) return known.name;
      std::optional<Image> image = image_of(pid);
      if (!image || *image != known.image) {
        known.name = target.name();
        if (image) known.image = *image;
      }
      known.target = target.path();
      return known.name;
    }
    known_.erase(it);
  }
  // The file before the target: an exec in between leaves a mismatch for the next poll.
  const std::optional<Image> image = image_of(pid);
  UniqueFd link(open(exe_path(pid).data(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!image || !link || !target.read(link.get())) return std::nullopt;
  std::optional<std::string> name = target.name();
  if (known_.size() < MAX_HELD) {
    known_.emplace(pid, Known{std::move(link), std::string(target.path()), *image, name, true});
  }
  return name;
}

std::optional<ProcExeNames::Image> ProcExeNames::image_of(std::uint32_t pid) {
  struct stat image {};
  if (stat(exe_path(pid).data(), &image) != 0) return std::nullopt;
  return Image{image.st_dev, image.st_ino};
}

}  // namespace kolvex::pulse
