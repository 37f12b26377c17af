#include <windows.h>

#include <algorithm>
#include <string>

#include "base/system_message.h"
#include "base/text_encoding.h"
#include "output/std_stream.h"

namespace kolvex {
namespace {

// Bytes of a UTF-8 sequence that a console write split; callers hold the stream's lock.
std::string& console_pending(StdStream stream) {
  static std::string* pending[2] = {new std::string, new std::string};
  return *pending[stream == StdStream::out ? 0 : 1];
}

// A write that succeeds without taking anything (a full pipe in non-blocking mode) is tried
// again after this pause, as a blocking write would wait: the consumer loses nothing, and a
// reader that has stalled costs a wake-up now and then instead of a core.
constexpr DWORD FULL_PIPE_PAUSE_MS = 10;

std::optional<OsError> last_error() {
  const DWORD code = GetLastError();
  // The handle went away under us: the same as having no stream at all.
  if (code == ERROR_INVALID_HANDLE) return std::nullopt;
  return OsError{code, system_message(code)};
}

std::optional<OsError> write_file(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 0x7FFFFFFF));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return last_error();
    if (written == 0) Sleep(FULL_PIPE_PAUSE_MS);
    bytes.remove_prefix(written);
  }
  return std::nullopt;
}

std::optional<OsError> write_console(HANDLE handle, std::string& pending, std::string_view bytes) {
  pending.append(bytes);
  const std::size_t complete = utf8_complete_prefix(pending);
  if (complete == 0) return std::nullopt;
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, pending.data(), static_cast<int>(complete), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, pending.data(), static_cast<int>(complete), wide.data(), units);
  pending.erase(0, complete);
  std::wstring_view rest(wide);
  while (!rest.empty()) {
    DWORD written = 0;
    if (!WriteConsoleW(handle, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr)) {
      return last_error();
    }
    if (written == 0) Sleep(FULL_PIPE_PAUSE_MS);
    rest.remove_prefix(written);
  }
  return std::nullopt;
}

}  // namespace

TerminationSignalsHeld::TerminationSignalsHeld() = default;
TerminationSignalsHeld::~TerminationSignalsHeld() = default;

std::optional<OsError> write_std_stream(StdStream stream, std::string_view bytes) {
  const HANDLE handle =
      GetStdHandle(stream == StdStream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return std::nullopt;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) && GetConsoleOutputCP() != CP_UTF8) {
    return write_console(handle, console_pending(stream), bytes);
  }
  return write_file(handle, bytes);
}

}  // namespace kolvex
