#include "child_process.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace kolvex::win {
namespace {

// Long paths only work through the \\?\ form on systems that do not opt in to them.
std::wstring extended(const std::wstring& path) {
  return L"\\\\?\\" + path;
}

std::wstring sleeper_path() {
  std::wstring self(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  self.resize(length);
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"sleeper.exe";
}

UniqueHandle open_null_device() {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE device =
      CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inheritable, OPEN_EXISTING, 0, nullptr);
  return UniqueHandle(device == INVALID_HANDLE_VALUE ? nullptr : device);
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::wstring& executable) {
  const UniqueHandle null_device = open_null_device();
  if (!null_device) return std::nullopt;
  // Only the null device may be inherited: a child holding our output pipe would keep the
  // reader of our output waiting for its end.
  HANDLE inherited[] = {null_device.get()};
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return std::nullopt;
  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                            sizeof inherited, nullptr, nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_device.get();
  startup.StartupInfo.hStdOutput = null_device.get();
  startup.StartupInfo.hStdError = null_device.get();
  startup.lpAttributeList = attributes;
  std::wstring command_line = L"\"" + executable + L"\" " + std::to_wstring(GetCurrentProcessId());
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                 EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS, nullptr, nullptr,
                                 &startup.StartupInfo, &started);
  DeleteProcThreadAttributeList(attributes);
  if (!ok) return std::nullopt;
  return ChildProcess(UniqueHandle(started.hProcess), UniqueHandle(started.hThread),
                      started.dwProcessId);
}

void ChildProcess::stop() {
  if (!process_) return;
  TerminateProcess(process_.get(), 0);
  WaitForSingleObject(process_.get(), INFINITE);
  process_.reset();
  thread_.reset();
}

ScratchFolder::ScratchFolder() {
  static std::atomic<int> made{0};
  std::wstring temp(MAX_PATH + 1, L'\0');
  temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
  const std::wstring wanted = temp + L"kolvex-test-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++made);
  CreateDirectoryW(wanted.c_str(), nullptr);
  // The temporary folder may be given in its 8.3 form; image paths never are.
  std::wstring long_form(32768, L'\0');
  const DWORD length =
      GetLongPathNameW(wanted.c_str(), long_form.data(), static_cast<DWORD>(long_form.size()));
  long_form.resize(length);
  path_ = length != 0 ? long_form : wanted;
}

ScratchFolder::~ScratchFolder() {
  // A stopped child's image can stay mapped for a moment after it ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::error_code error;
  while (std::filesystem::remove_all(extended(path_), error) == static_cast<std::uintmax_t>(-1) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::optional<std::wstring> ScratchFolder::place_sleeper(std::wstring_view relative_path) const {
  const std::wstring target = path_ + L"\\" + std::wstring(relative_path);
  for (std::size_t slash = path_.size() + 1;
       (slash = target.find(L'\\', slash)) != std::wstring::npos; ++slash) {
    CreateDirectoryW(extended(target.substr(0, slash)).c_str(), nullptr);
  }
  if (!CopyFileW(sleeper_path().c_str(), extended(target).c_str(), TRUE)) return std::nullopt;
  return target;
}

}  // namespace kolvex::win
