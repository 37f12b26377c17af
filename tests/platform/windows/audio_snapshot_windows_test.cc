// The snapshot through the real COM layer: a scripted Core Audio whose sessions belong to real
// child processes, so that identification is the system's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>

#include "audio/audio_snapshot.h"
#include "child_process.h"
#include "fake_core_audio.h"
#include "platform/windows/windows_audio_platform.h"
#include "test_support.h"
#include "tracking/tracked_apps.h"

namespace kolvex {

void PrintTo(const AudioProcessEntry& entry, std::ostream* out) {
  *out << "{" << entry.bundleId << ", " << entry.appName << ", pid " << entry.pid.value_or(0)
       << ", render " << entry.renderActive << ", capture " << entry.captureActive << ", active "
       << entry.active << ", " << to_text(entry.captureEndpointRole) << "}";
}

namespace win {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr std::uint32_t NO_SUCH_PID = 0xFFFFFFF0;
const std::string MTS_LINK_EXE = "\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\x98\xD0\x9D\xD0\x9A.EXE";
const std::string MTS_LINK = "\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\xB8\xD0\xBD\xD0\xBA";

struct Apps {
  std::uint32_t zoom = 0;
  std::uint32_t notepad = 0;
  std::uint32_t mts = 0;
};

// Zoom plays and talks on the communications microphone, МТС Линк records from the console
// default and Notepad from a third microphone; a session of pid 0 and one of a process that
// does not exist come along.
CoreAudioScript meeting(const Apps& apps) {
  CoreAudioScript script;
  script.endpoints = {
      {u"spk",
       eRender,
       {{apps.zoom, AudioSessionStateActive, {}}, {apps.notepad, AudioSessionStateInactive, {}}},
       {},
       DEVICE_STATE_ACTIVE},
      {u"mic-a",
       eCapture,
       {{apps.zoom, AudioSessionStateActive, {}}, {0, AudioSessionStateActive, {}}},
       {},
       DEVICE_STATE_ACTIVE},
      {u"mic-b", eCapture, {{apps.mts, AudioSessionStateActive, {}}}, {}, DEVICE_STATE_ACTIVE},
      {u"mic-c",
       eCapture,
       {{apps.notepad, AudioSessionStateActive, {{Call::process_id, returns(S_FALSE)}}},
        {NO_SUCH_PID, AudioSessionStateActive, {}}},
       {},
       DEVICE_STATE_ACTIVE},
  };
  script.capture_defaults = {{eCommunications, u"mic-a"}, {eConsole, u"mic-b"}};
  return script;
}

AudioProcessEntry entry(std::string bundle_id, std::string app_name, std::uint32_t pid, bool render,
                        bool capture, CaptureEndpointRole role) {
  const bool tracked = lookup_tracked_app(bundle_id) != nullptr;
  return {std::move(bundle_id), std::move(app_name), pid, render, capture, capture, role, tracked};
}

class AudioSnapshotWindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new ScratchFolder;
    for (const wchar_t* file :
         {L"Zoom.exe", L"Notepad.exe", L"\u041C\u0422\u0421 \u041B\u0418\u041D\u041A.EXE"}) {
      const std::optional<std::wstring> path = folder_->place_sleeper(file);
      std::optional<ChildProcess> child = path ? ChildProcess::start(*path) : std::nullopt;
      if (child) children_.push_back(std::move(*child));
    }
  }
  static void TearDownTestSuite() {
    children_.clear();
    delete folder_;
  }

  void SetUp() override {
    ASSERT_EQ(com_.failure(), "");
    ASSERT_EQ(children_.size(), 3u);
    apps_ = {children_[0].pid(), children_[1].pid(), children_[2].pid()};
  }

  // The snapshot of the unchanged meeting, in pid order.
  AudioProcessSnapshot meeting_snapshot() const {
    AudioProcessSnapshot snapshot = {
        entry("Zoom.exe", "Zoom", apps_.zoom, true, true, CaptureEndpointRole::communications),
        entry("Notepad.exe", "Notepad.exe", apps_.notepad, false, true, CaptureEndpointRole::other),
        entry(MTS_LINK_EXE, MTS_LINK, apps_.mts, false, true, CaptureEndpointRole::system_default),
    };
    std::sort(snapshot.begin(), snapshot.end(),
              [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return snapshot;
  }

  static inline ScratchFolder* folder_ = nullptr;
  static inline std::vector<ChildProcess> children_;
  ComThread com_;
  Apps apps_;
};

TEST_F(AudioSnapshotWindowsTest, SnapshotsTheScriptedSessionsOfRealProcesses) {
  const struct {
    const char* what;
    std::function<void(CoreAudioScript&)> change;
    std::function<void(AudioProcessSnapshot&, const Apps&)> expect;
  } cases[] = {
      {"as scripted", [](CoreAudioScript&) {}, [](AudioProcessSnapshot&, const Apps&) {}},
      {"the communications default has an id that is not valid UTF-16",
       [](CoreAudioScript& script) {
         script.endpoints[1].id = u"mic-a\xD800";
         script.capture_defaults[eCommunications] = u"mic-a\xD800";
       },
       [](AudioProcessSnapshot& snapshot, const Apps& apps) {
         for (AudioProcessEntry& e : snapshot) {
           if (e.pid == apps.zoom) e.captureEndpointRole = CaptureEndpointRole::unknown;
         }
       }},
      {"the console microphone cannot be activated",
       [](CoreAudioScript& script) {
         script.endpoints[2].outcomes[Call::activate] = returns(AUDCLNT_E_DEVICE_INVALIDATED);
       },
       [](AudioProcessSnapshot& snapshot, const Apps& apps) {
         std::erase_if(snapshot, [&](const auto& e) { return e.pid == apps.mts; });
       }},
      {"a session state cannot be read",
       [](CoreAudioScript& script) {
         script.endpoints[2].sessions[0].outcomes[Call::state] = returns(E_FAIL);
       },
       [](AudioProcessSnapshot& snapshot, const Apps& apps) {
         for (AudioProcessEntry& e : snapshot) {
           if (e.pid == apps.mts)
             e = entry(e.bundleId, e.appName, *e.pid, false, false, CaptureEndpointRole::unknown);
         }
       }},
      {"a process id cannot be read",
       [](CoreAudioScript& script) {
         script.endpoints[3].sessions[0].outcomes[Call::process_id] = returns(E_FAIL);
       },
       [](AudioProcessSnapshot& snapshot, const Apps& apps) {
         for (AudioProcessEntry& e : snapshot) {
           if (e.pid == apps.notepad)
             e = entry(e.bundleId, e.appName, *e.pid, false, false, CaptureEndpointRole::unknown);
         }
       }},
  };
  for (const auto& c : cases) {
    CoreAudioScript script = meeting(apps_);
    c.change(script);
    AudioProcessSnapshot expected = meeting_snapshot();
    c.expect(expected, apps_);
    FakeCoreAudio fake(std::move(script));
    {
      Result<AudioProcessSnapshot> snapshot =
          take_audio_process_snapshot(*make_windows_audio_platform());
      ASSERT_TRUE(snapshot) << c.what << ": " << snapshot.error().chained_text();
      EXPECT_THAT(*snapshot, ElementsAreArray(expected)) << c.what;
    }
    fake.revoke();
    EXPECT_THAT(fake.unreleased(), IsEmpty()) << c.what;
  }
}

TEST_F(AudioSnapshotWindowsTest, FailedPassesGiveTheErrorWithItsContext) {
  const struct {
    const char* what;
    std::function<void(CoreAudioScript&)> change;
    std::string text;
  } cases[] = {
      {"no enumerator",
       [](CoreAudioScript& script) {
         script.outcomes[Call::create_instance] = returns(REGDB_E_CLASSNOTREG);
       },
       expected_text(REGDB_E_CLASSNOTREG)},
      {"render endpoints not listed",
       [](CoreAudioScript& script) {
         script.flow_outcomes[eRender][Call::enum_endpoints] = returns(E_OUTOFMEMORY);
       },
       "render endpoint: " + expected_text(E_OUTOFMEMORY)},
      {"capture endpoints not counted, with error information",
       [](CoreAudioScript& script) {
         script.flow_outcomes[eCapture][Call::endpoint_count] =
             returns(AUDCLNT_E_DEVICE_INVALIDATED, u"Endpoints changed.\r\n");
       },
       "capture endpoint: Endpoints changed. (0x88890004)"},
      {"the last microphone fetched without an object",
       [](CoreAudioScript& script) { script.endpoints[3].outcomes[Call::item] = no_object(); },
       "capture endpoint: " + expected_text(S_OK)},
  };
  for (const auto& c : cases) {
    CoreAudioScript script = meeting(apps_);
    c.change(script);
    FakeCoreAudio fake(std::move(script));
    {
      Result<AudioProcessSnapshot> snapshot =
          take_audio_process_snapshot(*make_windows_audio_platform());
      ASSERT_FALSE(snapshot) << c.what;
      EXPECT_EQ(snapshot.error().chained_text(), c.text) << c.what;
    }
    fake.revoke();
    EXPECT_THAT(fake.unreleased(), IsEmpty()) << c.what;
    if (c.text.starts_with("render endpoint")) {
      EXPECT_THAT(fake.calls(), ::testing::Not(::testing::Contains("EnumAudioEndpoints(1, 0x1)")));
    }
  }
}

// Wine's own MMDevAPI, or Windows's. Wine 8 has no session enumerator, so every endpoint is
// skipped there and the snapshot is empty.
TEST(AudioSnapshotRealTest, SnapshotOfThisMachineIsOrderedAndIdentified) {
  ComThread com;
  ASSERT_EQ(com.failure(), "");
  Result<AudioProcessSnapshot> snapshot =
      take_audio_process_snapshot(*make_windows_audio_platform());
  ASSERT_TRUE(snapshot) << snapshot.error().chained_text();
  for (std::size_t i = 0; i < snapshot->size(); ++i) {
    const AudioProcessEntry& e = (*snapshot)[i];
    EXPECT_NE(e.pid, 0u);
    EXPECT_NE(e.bundleId, "");
    EXPECT_EQ(e.active, e.captureActive);
    if (i > 0) {
      EXPECT_LT((*snapshot)[i - 1].pid, e.pid);
    }
  }
  if (running_under_wine()) {
    EXPECT_THAT(*snapshot, IsEmpty());
  }
}

}  // namespace
}  // namespace win
}  // namespace kolvex
