// How soon the Windows program reports a microphone taken or released: from the session's change
// to the detector's line, with session notifications, with plain polling, and with notifications
// 2.5 to 3 s after the audio service restarted; and how long a fault exit takes when the service
// never answers. Runs under Wine against the scripted Core Audio of the tests, with a real
// process named Zoom.exe:
//   wine build/mingw/tests/platform/windows/session_latency_bench.exe [changes of each kind]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

enum class Mode { notifications, polling, after_restart };

struct Figures {
  std::vector<double> start_ms, end_ms;
};

std::chrono::milliseconds random_ms(std::mt19937& random, int from, int to) {
  return std::chrono::milliseconds(std::uniform_int_distribution<int>(from, to)(random));
}

// What the service side does in each mode: `changes` starts and ends of Zoom's microphone use,
// each time in `changed`. Apart from polling, a pause longer than a poll interval, so that every
// change is seen alone.
void play(FakeCoreAudio& fake, std::uint32_t zoom, Mode mode, int changes,
          std::vector<Clock::time_point>& changed) {
  std::mt19937 random(static_cast<unsigned>(mode) + 1);
  const auto change = [&](auto&& make) {
    changed.push_back(Clock::now());
    make();
  };
  for (int i = 0; i < changes; ++i) {
    if (mode == Mode::after_restart) {
      // Zoom opens its stream anew once the service is back.
      fake.stop_service({});
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      fake.start_service();
      std::this_thread::sleep_for(random_ms(random, 2500, 3000));
      const std::string number = std::to_string(i);
      const std::u16string instance = u"zoom" + std::u16string(number.begin(), number.end());
      change([&] { fake.create_session(u"mic", {zoom, AudioSessionStateActive, {}, instance}); });
      std::this_thread::sleep_for(random_ms(random, 200, 500));
      change([&] { fake.change_state(instance, AudioSessionStateInactive); });
      continue;
    }
    for (AudioSessionState state : {AudioSessionStateActive, AudioSessionStateInactive}) {
      std::this_thread::sleep_for(mode == Mode::polling ? random_ms(random, 2100, 2600)
                                                        : random_ms(random, 200, 500));
      change([&] { fake.change_state(u"zoom", state); });
    }
  }
}

// Times each change's call_app_mic_state line.
Figures measure(std::uint32_t zoom, Mode mode, int changes) {
  CoreAudioScript script;
  script.endpoints = {{u"mic",
                       eCapture,
                       {{zoom, AudioSessionStateInactive, {}, u"zoom"}},
                       {},
                       DEVICE_STATE_ACTIVE}};
  script.capture_defaults = {{eCommunications, u"mic"}, {eConsole, u"mic"}};
  if (mode == Mode::polling) {
    script.endpoints[0].outcomes[Call::register_sessions] = returns(E_NOTIMPL);
  }
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
    play(fake, zoom, mode, changes, changed);
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

void print(const std::string& what, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  const std::size_t p95 = (ms.size() * 95 + 99) / 100 - 1;
  std::printf("%-36s %3zu: median %7.1f ms, 95th percentile %7.1f ms\n", what.c_str(), ms.size(),
              ms[ms.size() / 2], ms[p95]);
}

// A fault exit against a service that never answers an unregistration: from the report on the
// child's standard error to the child's end, and its exit status.
std::optional<std::pair<double, DWORD>> time_fault_exit() {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE reader = nullptr, writer = nullptr;
  if (!CreatePipe(&reader, &writer, &inheritable, 0)) return std::nullopt;
  UniqueHandle read_end(reader), write_end(writer);
  SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  std::wstring command_line = L"\"" + self + L"\" fault-exit";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = writer;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(self.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &started)) {
    return std::nullopt;
  }
  UniqueHandle process(started.hProcess), thread(started.hThread);
  write_end.reset();
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (text.find("fatal error") == std::string::npos &&
         ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  const Clock::time_point reported = Clock::now();
  WaitForSingleObject(process.get(), INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.get(), &status);
  return std::pair{Milliseconds(Clock::now() - reported).count(), status};
}

[[noreturn]] void fault_exit_child() {
  ComThread com;
  CoreAudioScript script;
  script.endpoints = {{u"mic", eCapture, {{4120, AudioSessionStateInactive, {}}}, {}}};
  script.endpoints[0].sessions[0].outcomes[Call::unregister_events] = never_returns();
  run_with_reader_gone(std::move(script));
}

}  // namespace
}  // namespace kolvex::win

int main(int argc, char** argv) {
  using namespace kolvex::win;
  if (argc > 1 && std::strcmp(argv[1], "fault-exit") == 0) fault_exit_child();
  const int changes = argc > 1 ? std::atoi(argv[1]) : 50;
  ComThread com;
  ScratchFolder folder;
  std::optional<std::wstring> exe = folder.place_sleeper(L"Zoom.exe");
  std::optional<ChildProcess> zoom = exe ? ChildProcess::start(*exe) : std::nullopt;
  if (!com.failure().empty() || !zoom) {
    std::fprintf(stderr, "cannot set up: %s\n", com.failure().c_str());
    return 1;
  }
  const std::pair<Mode, const char*> modes[] = {
      {Mode::notifications, "notifications"},
      {Mode::polling, "plain polling"},
      {Mode::after_restart, "after the service's restart"}};
  for (const auto& [mode, name] : modes) {
    const Figures figures = measure(zoom->pid(), mode, changes);
    print(std::string(name) + ", start", figures.start_ms);
    print(std::string(name) + ", end", figures.end_ms);
  }
  std::vector<double> exits;
  for (int i = 0; i < 5; ++i) {
    const auto exit = time_fault_exit();
    if (!exit) return 1;
    if (exit->second != 101) std::printf("fault exit with status %lu\n", exit->second);
    exits.push_back(exit->first);
  }
  std::sort(exits.begin(), exits.end());
  std::printf("fault exit, service not answering: report to exit %.0f to %.0f ms\n", exits.front(),
              exits.back());
  return 0;
}
