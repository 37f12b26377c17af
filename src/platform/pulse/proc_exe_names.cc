#include "platform/pulse/proc_exe_names.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cerrno>
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
  bool read(std::uint32_t pid) {
    const ssize_t read = readlink(exe_path(pid).data(), bytes_.data(), bytes_.size());
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

// Called directly: the C library's wrapper is younger than the oldest systems this runs on.
int open_pidfd(std::uint32_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
}

bool has_ended(int pidfd) {
  pollfd process{pidfd, POLLIN, 0};
  return poll(&process, 1, 0) > 0;
}

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

ProcExeNames::ProcExeNames() : ended_(epoll_create1(EPOLL_CLOEXEC)) {}

void ProcExeNames::begin_poll() {
  for (auto it = known_.begin(); it != known_.end();) {
    it = std::exchange(it->second.used, false) ? std::next(it) : known_.erase(it);
  }
  check_ended_ = true;
}

std::optional<std::string> ProcExeNames::name(std::uint32_t pid) {
  if (check_ended_) forget_ended();
  if (const auto it = known_.find(pid); it != known_.end()) {
    it->second.used = true;
    return it->second.name;
  }
  return look_up(pid);
}

std::optional<std::string> ProcExeNames::look_again(std::uint32_t pid) {
  if (check_ended_) forget_ended();
  const auto it = known_.find(pid);
  Target target;
  if (it == known_.end() || has_ended(it->second.process.get()) || !target.read(pid)) {
    if (it != known_.end()) known_.erase(it);
    return look_up(pid);
  }
  Known& known = it->second;
  known.used = true;
  if (target.path() == known.target) return known.name;
  const std::optional<Image> image = image_of(pid);
  if (!image || *image != known.image) {
    known.name = target.name();
    if (image) known.image = *image;
  }
  known.target = target.path();
  return known.name;
}

// The pidfd comes first: what is read after it is of its process if that has not ended by then.
std::optional<std::string> ProcExeNames::look_up(std::uint32_t pid) {
  UniqueFd process(open_pidfd(pid));
  if (!process && errno == ESRCH) return std::nullopt;
  const std::optional<Image> image = image_of(pid);
  Target target;
  if (!image || !target.read(pid)) return std::nullopt;
  std::optional<std::string> name = target.name();
  if (!process) return name;  // a kernel without pidfds: looked up afresh each time
  if (has_ended(process.get())) return std::nullopt;
  epoll_event watch{};
  watch.events = EPOLLIN;
  watch.data.u32 = pid;
  if (known_.size() < MAX_HELD &&
      epoll_ctl(ended_.get(), EPOLL_CTL_ADD, process.get(), &watch) == 0) {
    known_.emplace(pid, Known{std::move(process), std::string(target.path()), *image, name, true});
  }
  return name;
}

// Closing a pidfd takes it out of the set.
void ProcExeNames::forget_ended() {
  check_ended_ = false;
  std::array<epoll_event, 64> ended;
  for (;;) {
    const int count = epoll_wait(ended_.get(), ended.data(), static_cast<int>(ended.size()), 0);
    for (int i = 0; i < count; ++i) known_.erase(ended[static_cast<std::size_t>(i)].data.u32);
    if (count < static_cast<int>(ended.size())) return;
  }
}

std::optional<ProcExeNames::Image> ProcExeNames::image_of(std::uint32_t pid) {
  struct stat image {};
  if (stat(exe_path(pid).data(), &image) != 0) return std::nullopt;
  return Image{image.st_dev, image.st_ino};
}

}  // namespace kolvex::pulse
