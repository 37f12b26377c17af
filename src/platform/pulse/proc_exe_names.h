#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/pulse/unique_fd.h"

// Processes' executable names, from /proc.

namespace kolvex::pulse {

// The file name in the target of /proc/<pid>/exe. The kernel marks the image of a running
// program whose file was replaced or removed with " (deleted)"; the program is still the one
// it was started as, so the mark goes when no file has the marked name. A name that is not
// UTF-8 gives nothing.
std::optional<std::string> exe_name_from_link(std::string_view target, bool target_exists);

// The executable names of the processes of recent polls. A process keeps the name it had while
// it runs the same file (device and inode behind /proc/<pid>/exe), even after the file was
// renamed or replaced. A process is looked at once: a pidfd held for it tells when it ended,
// all of them in one call a poll, so that its pid, taken by another process, is looked at
// afresh. Looking again is for a process that may have started another program since.
class ProcExeNames {
 public:
  // Processes held at most, well below the usual limit of 1024 open files; the names of
  // further processes are looked up afresh each time.
  static constexpr std::size_t MAX_HELD = 256;

  ProcExeNames();

  // A new poll: the processes no lookup of the last poll used are let go, and those that ended
  // since are forgotten before the next lookup.
  void begin_poll();
  // The name the process had when it was last looked at. Nothing when /proc/<pid>/exe cannot be
  // read or names no file.
  std::optional<std::string> name(std::uint32_t pid);
  // The name as it is now: after an exec of another program, that program's.
  std::optional<std::string> look_again(std::uint32_t pid);

 private:
  struct Image {
    dev_t device;
    ino_t inode;
    friend bool operator==(const Image&, const Image&) = default;
  };

  struct Known {
    UniqueFd process;  // a pidfd, readable once the process has ended
    std::string target;
    Image image;
    std::optional<std::string> name;
    bool used;
  };

  void forget_ended();
  std::optional<std::string> look_up(std::uint32_t pid);
  static std::optional<Image> image_of(std::uint32_t pid);

  std::unordered_map<std::uint32_t, Known> known_;
  UniqueFd ended_;  // an epoll set of the held pidfds
  bool check_ended_ = false;
};

}  // namespace kolvex::pulse
