#include "platform/windows/process_image.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/process_identity.h"
#include "child_process.h"
#include "platform/windows/windows_audio_platform.h"
#include "test_support.h"

namespace kolvex::win {
namespace {

std::u16string u16(const std::wstring& text) {
  return {text.begin(), text.end()};
}

// Wine counts no handles and always answers 0, so the checks with it only bite on Windows;
// there a handle left open is caught by ProcessesThatAreGoneAreNotIdentified instead.
DWORD open_handles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// The image path as the system has it, however long; proves the child is up.
std::optional<std::wstring> full_image_path(std::uint32_t pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::nullopt;
  std::wstring path(32768, L'\0');
  DWORD length = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) return std::nullopt;
  path.resize(length);
  return path;
}

// A folder name that makes `folder`\<it>\Zoom.exe exactly `length` UTF-16 units long.
std::wstring padding_for(const ScratchFolder& folder, std::size_t length) {
  return std::wstring(length - folder.path().size() - std::wstring(L"\\\\Zoom.exe").size(), L'p');
}

TEST(ProcessImageTest, RunningProcessesAreIdentifiedByTheirImage) {
  const struct {
    std::wstring file;
    std::string bundle_id;
    std::string app_name;
  } cases[] = {
      {L"Zoom.exe", "Zoom.exe", "Zoom"},
      {L"Notepad.exe", "Notepad.exe", "Notepad.exe"},
      {L"\u041C\u0422\u0421 \u041B\u0418\u041D\u041A.EXE",
       "\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\x98\xD0\x9D\xD0\x9A.EXE",
       "\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\xB8\xD0\xBD\xD0\xBA"},  // МТС ЛИНК.EXE, МТС Линк
  };
  ScratchFolder folder;
  const auto platform = make_windows_audio_platform();
  for (const auto& c : cases) {
    const std::optional<std::wstring> path = folder.place_sleeper(c.file);
    ASSERT_TRUE(path) << c.bundle_id;
    std::optional<ChildProcess> child = ChildProcess::start(*path);
    ASSERT_TRUE(child) << c.bundle_id;

    const DWORD handles_before = open_handles();
    EXPECT_EQ(read_process_image_path(child->pid()), u16(*path));
    EXPECT_EQ(platform->executable_name(child->pid()), c.bundle_id);
    const std::optional<ProcessIdentity> identity = identify_process(*platform, child->pid());
    ASSERT_TRUE(identity) << c.bundle_id;
    EXPECT_EQ(identity->bundleId, c.bundle_id);
    EXPECT_EQ(identity->appName, c.app_name);
    EXPECT_EQ(open_handles(), handles_before) << c.bundle_id;
  }
}

TEST(ProcessImageTest, AnImagePathOf259UnitsFitsTheBuffer) {
  ScratchFolder folder;
  const std::optional<std::wstring> path =
      folder.place_sleeper(padding_for(folder, 259) + L"\\Zoom.exe");
  ASSERT_TRUE(path);
  ASSERT_EQ(path->size(), 259u);
  std::optional<ChildProcess> child = ChildProcess::start(*path);
  ASSERT_TRUE(child);

  EXPECT_EQ(read_process_image_path(child->pid()), u16(*path));
  EXPECT_EQ(make_windows_audio_platform()->executable_name(child->pid()), "Zoom.exe");
}

TEST(ProcessImageTest, AnImagePathOfMoreThan259UnitsIsNotRead) {
  ScratchFolder folder;
  const std::optional<std::wstring> path =
      folder.place_sleeper(padding_for(folder, 260) + L"\\Zoom.exe");
  ASSERT_TRUE(path);
  ASSERT_EQ(path->size(), 260u);
  // By its extended-length name: started from its 8.3 name instead, the child would have that
  // shorter image path, and the test would prove nothing.
  std::optional<ChildProcess> child = ChildProcess::start(L"\\\\?\\" + *path);
  if (!child && running_under_wine()) GTEST_SKIP() << "Wine starts no program from 260 units";
  ASSERT_TRUE(child);
  const std::optional<std::wstring> full = full_image_path(child->pid());
  ASSERT_TRUE(full);
  ASSERT_GE(full->size(), 260u);

  const DWORD handles_before = open_handles();
  EXPECT_EQ(read_process_image_path(child->pid()), std::nullopt);
  EXPECT_EQ(make_windows_audio_platform()->executable_name(child->pid()), std::nullopt);
  EXPECT_EQ(open_handles(), handles_before);
}

TEST(ProcessImageTest, ProcessesThatAreGoneAreNotIdentified) {
  ScratchFolder folder;
  const std::optional<std::wstring> path = folder.place_sleeper(L"Zoom.exe");
  ASSERT_TRUE(path);
  std::optional<ChildProcess> child = ChildProcess::start(*path);
  ASSERT_TRUE(child);
  const std::uint32_t pid = child->pid();
  ASSERT_EQ(read_process_image_path(pid), u16(*path));
  child->stop();

  // The system may take a moment to let go of a process that has ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (read_process_image_path(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(read_process_image_path(pid), std::nullopt);
  EXPECT_EQ(make_windows_audio_platform()->executable_name(pid), std::nullopt);
  for (std::uint32_t never : {0u, 0xFFFFFFF0u}) {
    EXPECT_EQ(read_process_image_path(never), std::nullopt) << never;
  }
}

}  // namespace
}  // namespace kolvex::win
