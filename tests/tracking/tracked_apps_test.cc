#include "tracking/tracked_apps.h"

#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "tracking/unicode_lower.h"

namespace kolvex {
namespace {

TEST(TrackedAppsTest, FindsTheRowWhateverTheLetterCase) {
  struct Case {
    std::string_view name;
    std::string_view exe_name;
    std::string_view display_name;
  };
  const Case cases[] = {
      {"Zoom.exe", "zoom.exe", "Zoom"},
      {"ZOOM.EXE", "zoom.exe", "Zoom"},
      {"zoom.exe", "zoom.exe", "Zoom"},
      {"ZoomLauncher.EXE", "zoomlauncher.exe", "Zoom"},
      {"МТС ЛИНК.EXE", "мтс линк.exe", "МТС Линк"},
      {"Мтс Линк.exe", "мтс линк.exe", "МТС Линк"},
      {"KTalk.exe", "ktalk.exe", "Контур.Толк"},
      {"OBS64.exe", "obs64.exe", "OBS"},
      {"obs.exe", "obs.exe", "OBS"},
      {"Opera_GX.exe", "opera_gx.exe", "Opera GX"},
      {"browser.exe", "browser.exe", "Arc"},
      {"MS-Teams.exe", "ms-teams.exe", "Microsoft Teams"},
  };
  for (const Case& c : cases) {
    const TrackedApp* app = lookup_tracked_app(c.name);
    ASSERT_NE(app, nullptr) << c.name;
    EXPECT_EQ(app->exe_name, c.exe_name) << c.name;
    EXPECT_EQ(app->display_name, c.display_name) << c.name;
    EXPECT_NE(lookup_tracked_app(c.name), nullptr) << c.name;
  }
}

TEST(TrackedAppsTest, FindsNothingForNamesThatOnlyResembleARow) {
  using namespace std::string_view_literals;
  const std::string_view names[] = {
      "",
      "zoom",
      "zoom.exe ",
      " zoom.exe",
      "zoom.exe\0"sv,
      "C:\\x\\zoom.exe",
      "zoom.EXE.bak",
      "obs",
      "мтс  линк.exe",
      "notepad.exe",
  };
  for (std::string_view name : names) {
    EXPECT_EQ(lookup_tracked_app(name), nullptr) << name;
    EXPECT_EQ(lookup_tracked_app(name), nullptr) << name;
  }
}

TEST(TrackedAppsTest, TableRowsAreUniqueLowerCaseNames) {
  EXPECT_EQ(TRACKED_APPS.size(), 38u);
  std::set<std::string_view> seen;
  for (const TrackedApp& app : TRACKED_APPS) {
    EXPECT_TRUE(seen.insert(app.exe_name).second) << "duplicate " << app.exe_name;
    EXPECT_EQ(to_lower_full(app.exe_name), app.exe_name);
    EXPECT_FALSE(app.display_name.empty()) << app.exe_name;
    EXPECT_EQ(lookup_tracked_app(app.exe_name), &app);
  }
}

// The non-ASCII rows must hold UTF-8 (Cyrillic letters are two bytes each), not a legacy
// code page or escaped text.
TEST(TrackedAppsTest, NonAsciiRowsAreUtf8) {
  const TrackedApp* link = lookup_tracked_app("мтс линк.exe");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->exe_name.size(), 19u);
  EXPECT_EQ(link->display_name.size(), 15u);
  const TrackedApp* talk = lookup_tracked_app("ktalk.exe");
  ASSERT_NE(talk, nullptr);
  EXPECT_EQ(talk->display_name.size(), 21u);
}

}  // namespace
}  // namespace kolvex
