#include "tracking/mic_use_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "replay.h"

namespace kolvex {
namespace {

using replay::Poll;
using replay::PollLines;
using replay::Proc;
constexpr auto COMMS = CaptureEndpointRole::communications;
constexpr auto SYSTEM = CaptureEndpointRole::system_default;
constexpr auto OTHER = CaptureEndpointRole::other;

constexpr const char* EMPTY_SUMMARY =
    R"({"activeApps":[],"activeProcessCount":0,"kolvexInputActive":false,"processCount":0,"trackedActiveProcessCount":0,"trackedApps":[],"trackedProcessCount":0,"ts":1765181234.5,"type":"audio_process_snapshot"})";
// Zoom with no capturing process and Zoom gone read the same.
constexpr const char* ZOOM_IDLE_STATE =
    R"({"active":false,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":false,"captureEndpointRole":"unknown","pid":null,"renderActive":false,"ts":1765181234.5,"type":"call_app_mic_state"})";
constexpr const char* ZOOM_IDLE_ENDED =
    R"({"appName":"Zoom","bundleId":"Zoom.exe","captureActive":false,"captureEndpointRole":"unknown","renderActive":false,"ts":1765181234.5,"type":"call_app_mic_ended"})";
constexpr const char* MEETING_ENDED = R"({"ts":1765181234.5,"type":"meeting_ended"})";

TEST(MicUseTrackerTest, EmptySnapshotWritesOnlyTheSummary) {
  EXPECT_EQ(replay::run({Poll{}}), std::vector<PollLines>{{EMPTY_SUMMARY}});
}

TEST(MicUseTrackerTest, OneProcessStartsStopsAndExits) {
  const Poll capturing{Proc(4120, "Zoom.exe").capture(COMMS).render()};
  constexpr const char* CAPTURING_SUMMARY =
      R"({"activeApps":[{"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":4120,"renderActive":true}],"activeProcessCount":1,"kolvexInputActive":false,"processCount":1,"trackedActiveProcessCount":1,"trackedApps":[{"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":4120,"renderActive":true}],"trackedProcessCount":1,"ts":1765181234.5,"type":"audio_process_snapshot"})";
  const std::vector<PollLines> expected{
      {
          R"({"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":4120,"renderActive":true,"ts":1765181234.5,"type":"call_app_mic_state"})",
          R"({"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":4120,"renderActive":true,"ts":1765181234.5,"type":"meeting_started"})",
          CAPTURING_SUMMARY,
      },
      {CAPTURING_SUMMARY},
      {
          ZOOM_IDLE_STATE,
          ZOOM_IDLE_ENDED,
          MEETING_ENDED,
          R"({"activeApps":[],"activeProcessCount":0,"kolvexInputActive":false,"processCount":1,"trackedActiveProcessCount":0,"trackedApps":[{"active":false,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":false,"captureEndpointRole":"unknown","pid":4120,"renderActive":false}],"trackedProcessCount":1,"ts":1765181234.5,"type":"audio_process_snapshot"})",
      },
      {EMPTY_SUMMARY},
  };
  EXPECT_EQ(replay::run({capturing, capturing, Poll{Proc(4120, "Zoom.exe")}, Poll{}}), expected);
}

// Summary arrays are per process and unfolded; untracked capture shows only there.
TEST(MicUseTrackerTest, MixedSnapshotFoldsAppsButListsEveryProcess) {
  const Poll poll{
      Proc(std::nullopt, "recorder").capture(OTHER),
      Proc(10, "recorder.exe").capture(OTHER),
      Proc(4120, "Zoom.exe").capture(COMMS),
      Proc(4121, "Zoom.exe").capture(OTHER).render(),
      Proc(5000, "chrome.exe").render(),
  };
  const std::vector<PollLines> expected{{
      R"({"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"ambiguous","pid":null,"renderActive":true,"ts":1765181234.5,"type":"call_app_mic_state"})",
      R"({"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"ambiguous","pid":null,"renderActive":true,"ts":1765181234.5,"type":"meeting_started"})",
      R"({"active":false,"appName":"Chrome","bundleId":"chrome.exe","captureActive":false,"captureEndpointRole":"unknown","pid":null,"renderActive":true,"ts":1765181234.5,"type":"call_app_mic_state"})",
      R"({"appName":"Chrome","bundleId":"chrome.exe","captureActive":false,"captureEndpointRole":"unknown","renderActive":true,"ts":1765181234.5,"type":"call_app_mic_ended"})",
      R"({"activeApps":[{"appName":"recorder","bundleId":"recorder","captureActive":true,"captureEndpointRole":"other","pid":null,"renderActive":false},{"appName":"recorder.exe","bundleId":"recorder.exe","captureActive":true,"captureEndpointRole":"other","pid":10,"renderActive":false},{"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":4120,"renderActive":false},{"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"other","pid":4121,"renderActive":true}],"activeProcessCount":4,"kolvexInputActive":false,"processCount":5,"trackedActiveProcessCount":2,"trackedApps":[{"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":4120,"renderActive":false},{"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"other","pid":4121,"renderActive":true},{"active":false,"appName":"Chrome","bundleId":"chrome.exe","captureActive":false,"captureEndpointRole":"unknown","pid":5000,"renderActive":true}],"trackedProcessCount":3,"ts":1765181234.5,"type":"audio_process_snapshot"})",
  }};
  EXPECT_EQ(replay::run({poll}), expected);
}

struct EventCase {
  const char* name;
  std::map<std::string, bool> previous;  // tracker state before the first poll
  std::vector<Poll> polls;
  std::vector<PollLines> events;  // per poll, everything before the summary
};

const std::vector<EventCase>& event_cases() {
  static const std::vector<EventCase> cases{
      {
          .name = "an app first seen idle reports an end once",
          .previous = {},
          .polls = {Poll{Proc(300, "slack.exe").render()}, Poll{Proc(300, "slack.exe").render()}},
          .events =
              {
                  {
                      R"({"active":false,"appName":"Slack","bundleId":"slack.exe","captureActive":false,"captureEndpointRole":"unknown","pid":null,"renderActive":true,"ts":1765181234.5,"type":"call_app_mic_state"})",
                      R"({"appName":"Slack","bundleId":"slack.exe","captureActive":false,"captureEndpointRole":"unknown","renderActive":true,"ts":1765181234.5,"type":"call_app_mic_ended"})",
                  },
                  {},
              },
      },
      {
          .name = "names differing in case are separate apps in byte order",
          .previous = {},
          .polls = {Poll{Proc(100, "zoom.exe").capture(SYSTEM),
                         Proc(200, "Zoom.exe").capture(COMMS)}},
          .events = {{
              R"({"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":200,"renderActive":false,"ts":1765181234.5,"type":"call_app_mic_state"})",
              R"({"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":200,"renderActive":false,"ts":1765181234.5,"type":"meeting_started"})",
              R"({"active":true,"appName":"Zoom","bundleId":"zoom.exe","captureActive":true,"captureEndpointRole":"system_default","pid":100,"renderActive":false,"ts":1765181234.5,"type":"call_app_mic_state"})",
              R"({"appName":"Zoom","bundleId":"zoom.exe","captureActive":true,"captureEndpointRole":"system_default","pid":100,"renderActive":false,"ts":1765181234.5,"type":"meeting_started"})",
          }},
      },
      {
          .name = "only capturing processes decide the role",
          .previous = {{"Zoom.exe", false}},
          .polls = {Poll{Proc(4119, "Zoom.exe").render(), Proc(4120, "Zoom.exe").capture(OTHER),
                         Proc(4121, "Zoom.exe")}},
          .events = {{
              R"({"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"other","pid":4120,"renderActive":true,"ts":1765181234.5,"type":"call_app_mic_state"})",
              R"({"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"other","pid":4120,"renderActive":true,"ts":1765181234.5,"type":"meeting_started"})",
          }},
      },
      {
          .name = "the last active app vanishing ends the meeting",
          .previous = {{"Zoom.exe", true}},
          .polls = {Poll{}},
          .events = {{ZOOM_IDLE_STATE, ZOOM_IDLE_ENDED, MEETING_ENDED}},
      },
      {
          .name = "changes come before vanished apps; an idle app leaves silently",
          .previous = {{"Zoom.exe", true}, {"discord.exe", false}, {"slack.exe", false}},
          .polls = {Poll{Proc(300, "slack.exe").capture(COMMS)}},
          .events = {{
              R"({"active":true,"appName":"Slack","bundleId":"slack.exe","captureActive":true,"captureEndpointRole":"communications","pid":300,"renderActive":false,"ts":1765181234.5,"type":"call_app_mic_state"})",
              R"({"appName":"Slack","bundleId":"slack.exe","captureActive":true,"captureEndpointRole":"communications","pid":300,"renderActive":false,"ts":1765181234.5,"type":"meeting_started"})",
              ZOOM_IDLE_STATE,
              ZOOM_IDLE_ENDED,
          }},
      },
      {
          .name = "two apps stopping together end the meeting once",
          .previous = {{"Zoom.exe", true}, {"slack.exe", true}},
          .polls = {Poll{Proc(100, "Zoom.exe"), Proc(300, "slack.exe")},
                    Poll{Proc(100, "Zoom.exe"), Proc(300, "slack.exe")}},
          .events =
              {
                  {
                      ZOOM_IDLE_STATE,
                      ZOOM_IDLE_ENDED,
                      R"({"active":false,"appName":"Slack","bundleId":"slack.exe","captureActive":false,"captureEndpointRole":"unknown","pid":null,"renderActive":false,"ts":1765181234.5,"type":"call_app_mic_state"})",
                      R"({"appName":"Slack","bundleId":"slack.exe","captureActive":false,"captureEndpointRole":"unknown","renderActive":false,"ts":1765181234.5,"type":"call_app_mic_ended"})",
                      MEETING_ENDED,
                  },
                  {},
              },
      },
      {
          .name = "a process known only by name has no pid, nor has its app beside another",
          .previous = {},
          .polls = {Poll{Proc(std::nullopt, "Zoom.exe").capture(COMMS)},
                    Poll{Proc(std::nullopt, "Zoom.exe").capture(COMMS),
                         Proc(4120, "Zoom.exe").capture(COMMS)},
                    Poll{Proc(std::nullopt, "slack.exe").render()}},
          .events =
              {
                  {
                      R"({"active":true,"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":null,"renderActive":false,"ts":1765181234.5,"type":"call_app_mic_state"})",
                      R"({"appName":"Zoom","bundleId":"Zoom.exe","captureActive":true,"captureEndpointRole":"communications","pid":null,"renderActive":false,"ts":1765181234.5,"type":"meeting_started"})",
                  },
                  {},
                  {
                      R"({"active":false,"appName":"Slack","bundleId":"slack.exe","captureActive":false,"captureEndpointRole":"unknown","pid":null,"renderActive":true,"ts":1765181234.5,"type":"call_app_mic_state"})",
                      R"({"appName":"Slack","bundleId":"slack.exe","captureActive":false,"captureEndpointRole":"unknown","renderActive":true,"ts":1765181234.5,"type":"call_app_mic_ended"})",
                      ZOOM_IDLE_STATE,
                      ZOOM_IDLE_ENDED,
                      MEETING_ENDED,
                  },
              },
      },
      {
          .name = "a running app changing pid, role and playback stays silent",
          .previous = {{"Zoom.exe", true}},
          .polls = {Poll{Proc(4121, "Zoom.exe").capture(OTHER).render()}},
          .events = {{}},
      },
  };
  return cases;
}

TEST(MicUseTrackerTest, StateEvents) {
  constexpr std::string_view SUMMARY_END = R"("type":"audio_process_snapshot"})";
  for (const EventCase& c : event_cases()) {
    SCOPED_TRACE(c.name);
    MicUseTracker tracker;
    for (const auto& [name, active] : c.previous) {
      tracker.tracked_active[name] = {active, std::string(lookup_tracked_app(name)->display_name)};
      tracker.meeting_active = tracker.meeting_active || active;
    }
    std::vector<PollLines> events = replay::run(tracker, c.polls);
    for (PollLines& lines : events) {
      ASSERT_FALSE(lines.empty());
      EXPECT_TRUE(lines.back().ends_with(SUMMARY_END));
      lines.pop_back();
    }
    EXPECT_EQ(events, c.events);
  }
}

}  // namespace
}  // namespace kolvex
