// How soon the Windows program reports a microphone taken or released: from the session's state
// callback to the detector's line, with session notifications and with plain polling. Runs under
// Wine against the scripted Core Audio of the tests, with a real process named Zoom.exe:
//   wine build/mingw/tests/platform/windows/session_latency_bench.exe [changes of each kind]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bin/detector.h"
#include "child_process.h"
#include "fake_core_audio.h"
#include "platform/windows/windows_audio_platform.h"
#include "test_support.h"

namespace kolvex::win {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

struct Figures {
  std::vector<double> start_ms, end_ms;
};

// Turns Zoom's microphone session on and off `changes` times each, pausing at random between
// changes, and times each change's call_app_mic_state line.
Figures measure(std::uint32_t zoom, bool watched, int changes) {
  CoreAudioScript script;
  script.endpoints = {{u"mic",
                       eCapture,
                       {{zoom, AudioSessionStateInactive, {}, u"zoom"}},
                       {},
                       DEVICE_STATE_ACTIVE}};
  script.capture_defaults = {{eCommunications, u"mic"}, {eConsole, u"mic"}};
  if (!watched) script.endpoints[0].outcomes[Call::register_sessions] = returns(E_NOTIMPL);
  FakeCoreAudio fake(std::move(script));
  auto platform = make_windows_audio_platform();
  LineRecorder output;
  Result<std::unique_ptr<Detector>> detector = start_detector(*platform, output);
  if (!detector) {
    std::fprintf(stderr, "%s\n", detector.error().chained_text().c_str());
    std::exit(1);
  }
  std::vector<Clock::time_point> changed;
  std::atomic<bool> done{false};
  std::jthread service([&] {
    std::mt19937 random(watched ? 1 : 2);
    // Longer than a poll interval without notifications, so that every change is seen alone.
    std::uniform_int_distribution<int> pause_ms(watched ? 200 : 2100, watched ? 500 : 2600);
    for (int i = 0; i < 2 * changes; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
      changed.push_back(Clock::now());
      fake.change_state(u"zoom", i % 2 ? AudioSessionStateInactive : AudioSessionStateActive);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    done = true;
  });
  while (!done) run_pass(**detector);
  service.join();
  // Each change's line is the first after it that reports the new state.
  Figures figures;
  std::size_t line = 0;
  for (std::size_t change = 0; change < changed.size(); ++change) {
    const std::string state = change % 2 ? "\"active\":false" : "\"active\":true";
    while (line < output.lines.size() &&
           (output.times[line] < changed[change] ||
            output.lines[line].find("\"type\":\"call_app_mic_state\"") == std::string::npos ||
            output.lines[line].find(state) == std::string::npos)) {
      ++line;
    }
    if (line == output.lines.size()) break;
    (change % 2 ? figures.end_ms : figures.start_ms)
        .push_back(Milliseconds(output.times[line] - changed[change]).count());
  }
  return figures;
}

void print(const char* what, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  const std::size_t p95 = (ms.size() * 95 + 99) / 100 - 1;
  std::printf("%-24s %3zu changes: median %7.1f ms, 95th percentile %7.1f ms\n", what, ms.size(),
              ms[ms.size() / 2], ms[p95]);
}

}  // namespace
}  // namespace kolvex::win

int main(int argc, char** argv) {
  using namespace kolvex::win;
  const int changes = argc > 1 ? std::atoi(argv[1]) : 50;
  ComThread com;
  ScratchFolder folder;
  std::optional<std::wstring> exe = folder.place_sleeper(L"Zoom.exe");
  std::optional<ChildProcess> zoom = exe ? ChildProcess::start(*exe) : std::nullopt;
  if (!com.failure().empty() || !zoom) {
    std::fprintf(stderr, "cannot set up: %s\n", com.failure().c_str());
    return 1;
  }
  for (bool watched : {true, false}) {
    const Figures figures = measure(zoom->pid(), watched, changes);
    const std::string mode = watched ? "notifications" : "plain polling";
    print((mode + ", start").c_str(), figures.start_ms);
    print((mode + ", end").c_str(), figures.end_ms);
  }
  return 0;
}
