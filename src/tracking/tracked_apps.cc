#include "tracking/tracked_apps.h"

#include <string>

#include "tracking/unicode_lower.h"

namespace kolvex {

const std::array<TrackedApp, 40> TRACKED_APPS = {{
    {"zoom.exe", "Zoom"},
    {"zoomlauncher.exe", "Zoom"},
    {"ms-teams.exe", "Microsoft Teams"},
    {"teams.exe", "Microsoft Teams"},
    {"slack.exe", "Slack"},
    {"discord.exe", "Discord"},
    {"webex.exe", "Webex"},
    {"ciscocollabhost.exe", "Webex"},
    {"skype.exe", "Skype"},
    {"chrome.exe", "Chrome"},
    {"msedge.exe", "Microsoft Edge"},
    {"firefox.exe", "Firefox"},
    {"brave.exe", "Brave Browser"},
    {"browser.exe", "Arc"},
    {"dia.exe", "Dia"},
    {"yandex.exe", "Yandex Browser"},
    {"opera.exe", "Opera"},
    {"opera_gx.exe", "Opera GX"},
    {"vivaldi.exe", "Vivaldi"},
    {"telegram.exe", "Telegram"},
    {"telemost.exe", "Yandex Telemost"},
    {"sberjazz.exe", "SberJazz"},
    {"jazz.exe", "SaluteJazz"},
    {"vkcalls.exe", "VK Calls"},
    {"мтс линк.exe", "МТС Линк"},
    {"dion.exe", "DION"},
    {"trueconf.exe", "TrueConf"},
    {"ktalk.exe", "Контур.Толк"},
    {"around.exe", "Around"},
    {"whereby.exe", "Whereby"},
    {"gather.exe", "Gather"},
    {"claude.exe", "Claude"},
    {"chatgpt.exe", "ChatGPT"},
    {"conductor.exe", "Conductor"},
    {"obs64.exe", "OBS"},
    {"obs32.exe", "OBS"},
    {"obs.exe", "OBS"},
    {"loom.exe", "Loom"},
    // Since January 2026 new Teams runs its calling stack in a child process; in a virtual
    // desktop (VDI 2.0) its media are handled on the user's machine. The sources are in the
    // event reference.
    {"ms-teams_modulehost.exe", "Microsoft Teams"},
    {"msteamsvdi.exe", "Microsoft Teams"},
}};

const std::array<TrackedApp, 28> LINUX_TRACKED_APPS = {{
    {"zoom", "Zoom"},
    {"zoomlauncher", "Zoom"},
    {"aomhost", "Zoom"},
    {"teams-for-linux", "Microsoft Teams"},
    {"teams", "Microsoft Teams"},
    {"slack", "Slack"},
    {"discord", "Discord"},
    {"discordptb", "Discord"},
    {"discordcanary", "Discord"},
    {"ciscocollabhost", "Webex"},
    {"skypeforlinux", "Skype"},
    {"chrome", "Chrome"},
    // Chromium runs as chrome.exe on Windows and as chrome in Ubuntu's snap.
    {"chromium", "Chrome"},
    {"chromium-browser", "Chrome"},
    {"msedge", "Microsoft Edge"},
    {"firefox", "Firefox"},
    {"firefox-esr", "Firefox"},
    {"firefox-bin", "Firefox"},
    {"brave", "Brave Browser"},
    {"yandex_browser", "Yandex Browser"},
    {"opera", "Opera"},
    {"vivaldi-bin", "Vivaldi"},
    {"telegram-desktop", "Telegram"},
    {"telegram", "Telegram"},
    {"mts-link", "МТС Линк"},
    {"trueconf", "TrueConf"},
    {"ktalk", "Контур.Толк"},
    {"obs", "OBS"},
}};

const TrackedApp* lookup_tracked_app(std::string_view name, TrackedAppTable table) {
  const std::string lower = to_lower_full(name);
  for (const TrackedApp& app : table) {
    if (app.exe_name == lower) return &app;
  }
  return nullptr;
}

}  // namespace kolvex
