#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/windows/win_resources.h"

namespace kolvex::win {

// A running copy of the sleeper program; stopped when destroyed.
class ChildProcess {
 public:
  // Starts the program at `executable` with the null device as its standard handles and no
  // other handle of ours; nothing when the system cannot start it.
  static std::optional<ChildProcess> start(const std::wstring& executable);

  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
      stop();
      process_ = std::move(other.process_);
      thread_ = std::move(other.thread_);
      pid_ = other.pid_;
    }
    return *this;
  }
  ~ChildProcess() { stop(); }

  std::uint32_t pid() const { return pid_; }
  // Ends the process, waits until it has ended and closes its handles.
  void stop();

 private:
  ChildProcess(UniqueHandle process, UniqueHandle thread, std::uint32_t pid)
      : process_(std::move(process)), thread_(std::move(thread)), pid_(pid) {}

  UniqueHandle process_;
  UniqueHandle thread_;
  std::uint32_t pid_ = 0;
};

// A new folder in the temporary folder, removed with everything in it when destroyed.
class ScratchFolder {
 public:
  ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder();

  // The folder's full path in its long form, as the system reports image paths.
  const std::wstring& path() const { return path_; }
  // Copies the sleeper program to `relative_path` inside the folder, making the folders on the
  // way; the copy's full path, or nothing when it cannot be made.
  std::optional<std::wstring> place_sleeper(std::wstring_view relative_path) const;

 private:
  std::wstring path_;
};

}  // namespace kolvex::win
