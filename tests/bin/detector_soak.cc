// The main loop for many polls on the fake platform with no wait between them: processes come
// and go, endpoints are announced and lost, polls fail now and then. Under AddressSanitizer the
// leak check covers the whole run; on any build the live heap must not grow once warmed up.
// Usage: detector_soak POLLS (a multiple of 100; the first tenth is the warm-up).
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bin/detector.h"
#include "fakes/fake_audio_platform.h"
#include "output/json_text.h"

// Present when a sanitizer's allocator replaces malloc, whose own figures then say nothing.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace kolvex {
namespace {

using fake::FakeAudioScript;
using fake::FakeEndpoint;
using fake::FakeSession;

constexpr int CYCLE = 100;  // the machine repeats itself every CYCLE polls
constexpr long GROWTH_ALLOWED = 64 * 1024;

long live_heap_bytes() {
  if (__sanitizer_get_current_allocated_bytes) {
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
  }
  return static_cast<long>(mallinfo2().uordblks);
}

long resident_bytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

struct CountingOutput : DetectorOutput {
  void emit(const JsonValue& event) override {
    ++events;
    bytes += to_compact_text(event).size() + 1;
  }
  void report_poll_failure(const ErrorValue& error) override {
    failures += error.chained_text().empty() ? 0 : 1;
  }
  long events = 0, bytes = 0, failures = 0;
};

// Poll `i` of the cycle: Zoom on and off, a Teams whose process is replaced every few polls,
// an untracked recorder, a player, and a capture listing that fails once per cycle.
void set_machine(FakeAudioScript& s, int i) {
  const std::uint32_t teams = 200 + static_cast<std::uint32_t>(i / 7 % 5);
  s.capture.endpoints = {
      FakeEndpoint{.id = "mic",
                   .sessions = {{.pid = 100, .active = i / 3 % 2 == 0},
                                {.pid = teams, .active = i % 11 < 8},
                                {.pid = 300, .active = true}}},
      FakeEndpoint{.id = "usb-mic", .sessions = {{.pid = 100, .active = i % 5 == 0}}}};
  s.render.endpoints = {FakeEndpoint{.id = "speaker", .sessions = {{.pid = 400, .active = true}}}};
  s.capture.enumerate_fault.reset();
  if (i == CYCLE - 1) s.capture.enumerate_fault = fake::fails(-1, "gone");
  s.executables = {{100, "Zoom.exe"}, {300, "Notepad.exe"}, {400, "Spotify.exe"}};
  s.executables[teams] = "ms-teams.exe";
}

void notify(EndpointNotificationSink& service, int i) {
  if (i % 4 == 0) service.added("usb-" + std::to_string(i % 10));
  if (i % 4 == 2) service.removed("usb-" + std::to_string((i + 8) % 10));
  if (i % 6 == 0) service.default_changed(1, i % 3, i % 12 == 0 ? "usb-mic" : "mic");
  if (i % 10 == 0) service.state_changed("speaker", i % 20 == 0 ? 1u : 8u);
  if (i == CYCLE / 2) service.notices_lost();
}

int soak(long polls) {
  FakeAudioScript script;
  script.capture_defaults[DeviceRole::communications] = {.id = "mic"};
  script.capture_defaults[DeviceRole::console] = {.id = "usb-mic"};
  fake::FakeAudioPlatform platform(std::move(script));
  CountingOutput output;
  Result<std::unique_ptr<Detector>> detector =
      start_detector(platform, output, std::chrono::nanoseconds(0));
  if (!detector || !platform.notifications()) return 2;
  const long warm_up = polls / 10;
  long heap_after_warm_up = 0, resident_after_warm_up = 0;
  for (long poll = 0; poll < polls; ++poll) {
    if (poll == warm_up) {
      heap_after_warm_up = live_heap_bytes();
      resident_after_warm_up = resident_bytes();
    }
    const int i = static_cast<int>(poll % CYCLE);
    set_machine(platform.script(), i);
    notify(*platform.notifications(), i);
    run_pass(**detector);
    platform.forget_calls();
  }
  const long growth = live_heap_bytes() - heap_after_warm_up;
  std::printf(
      "%ld polls, %ld events (%ld bytes), %ld failed polls; after poll %ld and at the end: live "
      "heap %ld and %ld bytes (growth %ld), resident %ld and %ld KiB\n",
      polls, output.events, output.bytes, output.failures, warm_up, heap_after_warm_up,
      heap_after_warm_up + growth, growth, resident_after_warm_up / 1024, resident_bytes() / 1024);
  return growth <= GROWTH_ALLOWED && platform.live().total() == 1 ? 0 : 1;
}

}  // namespace
}  // namespace kolvex

int main(int argc, char** argv) {
  const long polls = argc > 1 ? std::atol(argv[1]) : 0;
  if (polls <= 0 || polls % (10 * kolvex::CYCLE) != 0) {
    std::fprintf(stderr, "usage: detector_soak POLLS (a positive multiple of %d)\n",
                 10 * kolvex::CYCLE);
    return 2;
  }
  return kolvex::soak(polls);
}
