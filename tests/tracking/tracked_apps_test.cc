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
    TrackedAppTable table = TRACKED_APPS;
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
      {"ms-teams_modulehost.exe", "ms-teams_modulehost.exe", "Microsoft Teams"},
      {"MS-Teams_ModuleHost.EXE", "ms-teams_modulehost.exe", "Microsoft Teams"},
      {"MsTeamsVdi.exe", "msteamsvdi.exe", "Microsoft Teams"},
      // The names the Linux builds run as.
      {"zoom", "zoom", "Zoom", LINUX_TRACKED_APPS},
      {"slack", "slack", "Slack", LINUX_TRACKED_APPS},
      {"Discord", "discord", "Discord", LINUX_TRACKED_APPS},
      {"chrome", "chrome", "Chrome", LINUX_TRACKED_APPS},
      {"chromium", "chromium", "Chrome", LINUX_TRACKED_APPS},
      {"firefox", "firefox", "Firefox", LINUX_TRACKED_APPS},
      {"firefox-esr", "firefox-esr", "Firefox", LINUX_TRACKED_APPS},
      {"telegram-desktop", "telegram-desktop", "Telegram", LINUX_TRACKED_APPS},
      {"Telegram", "telegram", "Telegram", LINUX_TRACKED_APPS},
      {"obs", "obs", "OBS", LINUX_TRACKED_APPS},
      {"msedge", "msedge", "Microsoft Edge", LINUX_TRACKED_APPS},
      {"brave", "brave", "Brave Browser", LINUX_TRACKED_APPS},
      {"vivaldi-bin", "vivaldi-bin", "Vivaldi", LINUX_TRACKED_APPS},
      {"skypeforlinux", "skypeforlinux", "Skype", LINUX_TRACKED_APPS},
      {"teams-for-linux", "teams-for-linux", "Microsoft Teams", LINUX_TRACKED_APPS},
      {"TrueConf", "trueconf", "TrueConf", LINUX_TRACKED_APPS},
  };
  for (const Case& c : cases) {
    const TrackedApp* app = lookup_tracked_app(c.name, c.table);
    ASSERT_NE(app, nullptr) << c.name;
    EXPECT_EQ(app->exe_name, c.exe_name) << c.name;
    EXPECT_EQ(app->display_name, c.display_name) << c.name;
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
  }
  // Windows names mean nothing on Linux, nor do helpers and names shared with other programs.
  for (std::string_view name : {"zoom.exe", "chrome.exe", "zoom ", "browser", "dia", "electron",
                                "QtWebEngineProcess", "chrome_crashpad_handler"}) {
    EXPECT_EQ(lookup_tracked_app(name, LINUX_TRACKED_APPS), nullptr) << name;
  }
}

TEST(TrackedAppsTest, TableRowsAreUniqueLowerCaseNames) {
  EXPECT_EQ(TRACKED_APPS.size(), 40u);
  std::set<std::string_view> display_names;
  for (const TrackedApp& app : TRACKED_APPS) display_names.insert(app.display_name);
  for (const TrackedAppTable table :
       {TrackedAppTable(TRACKED_APPS), TrackedAppTable(LINUX_TRACKED_APPS)}) {
    std::set<std::string_view> seen;
    for (const TrackedApp& app : table) {
      EXPECT_TRUE(seen.insert(app.exe_name).second) << "duplicate " << app.exe_name;
      EXPECT_EQ(to_lower_full(app.exe_name), app.exe_name);
      // The Linux builds are of the same applications, under the same names.
      EXPECT_TRUE(display_names.contains(app.display_name)) << app.exe_name;
      EXPECT_EQ(lookup_tracked_app(app.exe_name, table), &app);
    }
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
