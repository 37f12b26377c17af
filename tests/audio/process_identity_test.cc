#include "audio/process_identity.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fakes/fake_audio_platform.h"

namespace kolvex {
namespace {

TEST(ProcessIdentityTest, AppNameIsTheTrackedDisplayNameOrTheFileName) {
  struct Case {
    std::string bundle_id;
    std::string_view app_name;
    ExecutableNaming naming = ExecutableNaming::windows;
  };
  const Case cases[] = {
      {"ZOOM.EXE", "Zoom"},
      {"Zoom.exe", "Zoom"},
      {"ZoomLauncher.exe", "Zoom"},
      {"msedge.exe", "Microsoft Edge"},
      {"browser.exe", "Arc"},
      {"\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\x98\xD0\x9D\xD0\x9A.EXE",
       "\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\xB8\xD0\xBD\xD0\xBA"},
      {"Notepad.exe", "Notepad.exe"},
      {"zoom", "zoom"},
      {"zoom.exe ", "zoom.exe "},
      {"zoom.exe.old", "zoom.exe.old"},
      // A Linux platform names its executables the Linux way, and tracks by those names.
      {"zoom", "Zoom", ExecutableNaming::linux},
      {"DISCORD", "Discord", ExecutableNaming::linux},
      {"Zoom.exe", "Zoom.exe", ExecutableNaming::linux},
  };
  for (const Case& c : cases) {
    fake::FakeAudioPlatform platform({.executables = {{7, c.bundle_id}}, .naming = c.naming});
    const std::optional<ProcessIdentity> identity = identify_process(platform, 7);
    ASSERT_TRUE(identity) << c.bundle_id;
    EXPECT_EQ(identity->appName, c.app_name) << c.bundle_id;
    EXPECT_EQ(identity->tracked, c.app_name != c.bundle_id) << c.bundle_id;
  }
}

TEST(ProcessIdentityTest, IdentifiesByTheExecutableNameAsReported) {
  fake::FakeAudioPlatform platform({.executables = {{7, "ZOOM.EXE"}, {9, "Notepad.exe"}}});

  const std::optional<ProcessIdentity> zoom = identify_process(platform, 7);
  ASSERT_TRUE(zoom);
  EXPECT_EQ(zoom->bundleId, "ZOOM.EXE");
  EXPECT_EQ(zoom->appName, "Zoom");

  const std::optional<ProcessIdentity> notepad = identify_process(platform, 9);
  ASSERT_TRUE(notepad);
  EXPECT_EQ(notepad->bundleId, "Notepad.exe");
  EXPECT_EQ(notepad->appName, "Notepad.exe");

  EXPECT_FALSE(identify_process(platform, 8));
}

}  // namespace
}  // namespace kolvex
