#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/unique_resource.h"

// Processes' executable names, from /proc.

namespace kolvex::pulse {

// The file name in the target of /proc/<pid>/exe. The kernel marks the image of a running
// program whose file was replaced or removed with " (deleted)"; the program is still the one
// it was started as, so the mark goes when no file has the marked name. A name that is not
// UTF-8 gives nothing.
std::optional<std::string> exe_name_from_link(std::string_view target, bool target_exists);

// The executable names of the processes of recent polls. A process keeps the name it had while
// it runs the same file (device and inode behind /proc/<pid>/exe), even after the file was
// renamed or replaced; an exec of another program gives a new one. Each /proc/<pid>/exe link
// is held open and read on every poll (reading an open link skips the path lookup, most of
// what reading it by name costs); only when its target changed is the file looked at. An open
// link stops answering when its process ends, so a pid taken by another process is looked at
// afresh.
class ProcExeNames {
 public:
  // Links held open at most, well below the usual limit of 1024 open files; the names of
  // further processes are looked up afresh each time.
  static constexpr std::size_t MAX_HELD = 256;

  // Closes the links no lookup used since the last call.
  void forget_unused();
  // Nothing when /proc/<pid>/exe cannot be read or names no file.
  std::optional<std::string> name(std::uint32_t pid);

 private:
  static void close_fd(int fd) { close(fd); }
  using UniqueFd = UniqueResource<int, close_fd, -1>;

  struct Image {
    dev_t device;
    ino_t inode;
    friend bool operator==(const Image&, const Image&) = default;
  };

  struct Known {
    UniqueFd link;
    std::string target;
    Image image;
    std::optional<std::string> name;
    bool used;
  };

  static std::optional<Image> image_of(std::uint32_t pid);

  std::unordered_map<std::uint32_t, Known> known_;
};

}  // namespace kolvex::pulse
