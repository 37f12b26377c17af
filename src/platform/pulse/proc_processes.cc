#include "platform/pulse/proc_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>

#include "base/unique_resource.h"
#include "platform/pulse/unique_fd.h"

namespace kolvex::pulse {
namespace {

void close_dir(DIR* dir) {
  closedir(dir);
}
using UniqueDir = UniqueResource<DIR*, close_dir>;

// The file's first `limit` bytes; empty when it cannot be read.
std::string read_file(const std::string& path, std::size_t limit) {
  std::string text;
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return text;
  std::array<char, 4096> chunk;
  while (text.size() < limit) {
    const ssize_t read_now = read(file.get(), chunk.data(), chunk.size());
    if (read_now <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(read_now));
  }
  return text;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view BLANKS = " \t\r";
  const std::size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// Calls `line` with each line of `text` until it returns true.
template <class Line>
void each_line(std::string_view text, Line line) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (line(text.substr(0, end))) return;
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

std::string proc_path(std::uint32_t pid, std::string_view file) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(file);
}

}  // namespace

std::optional<std::uint32_t> innermost_pid(std::string_view status) {
  constexpr std::string_view NSPID = "NSpid:";
  std::optional<std::uint32_t> pid;
  each_line(status, [&](std::string_view line) {
    if (!line.starts_with(NSPID)) return false;
    line = trimmed(line.substr(NSPID.size()));
    pid = parse_process_id(line.substr(line.find_last_of(" \t") + 1));
    return true;
  });
  return pid;
}

std::string flatpak_instance(std::string_view info) {
  std::string_view section, instance;
  each_line(info, [&](std::string_view line) {
    line = trimmed(line);
    if (line.starts_with('[')) {
      section = line;
      return false;
    }
    const std::size_t equals = line.find('=');
    if (section != "[Instance]" || equals == std::string_view::npos) return false;
    if (trimmed(line.substr(0, equals)) != "instance-id") return false;
    instance = trimmed(line.substr(equals + 1));
    return true;
  });
  return std::string(instance);
}

std::vector<std::uint32_t> ProcProcesses::namesakes(std::uint32_t inner_pid,
                                                    std::string_view name) {
  std::vector<std::uint32_t> found;
  const UniqueDir proc(opendir("/proc"));
  if (!proc) return found;
  while (const dirent* entry = readdir(proc.get())) {
    const std::optional<std::uint32_t> pid = parse_process_id(entry->d_name);
    if (!pid || innermost_pid(read_file(proc_path(*pid, "status"), 4096)) != inner_pid) continue;
    if (names_.look_again(*pid) == name) found.push_back(*pid);
  }
  return found;
}

bool ProcProcesses::exists(std::uint32_t pid) {
  return access(proc_path(pid, "").c_str(), F_OK) == 0;
}

std::string ProcProcesses::sandbox_instance(std::uint32_t pid) {
  return flatpak_instance(read_file(proc_path(pid, "root/.flatpak-info"), 65536));
}

}  // namespace kolvex::pulse
