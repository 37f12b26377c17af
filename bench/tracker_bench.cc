#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "output/json_text.h"
#include "tracking/audio_process_snapshot.h"
#include "tracking/mic_use_tracker.h"
#include "tracking/tracked_apps.h"

namespace kolvex {
namespace {

// Every tenth process belongs to a tracked program (browsers repeat, as their helper processes
// do), half of those capture; a few untracked processes capture or play too.
AudioProcessSnapshot make_snapshot(std::size_t count) {
  AudioProcessSnapshot snapshot;
  for (std::size_t i = 0; i < count; ++i) {
    AudioProcessEntry entry;
    entry.pid = static_cast<std::uint32_t>(1000 + 4 * i);
    if (i % 10 == 0) {
      const TrackedApp& app = TRACKED_APPS[(i / 10) % TRACKED_APPS.size()];
      entry.bundleId = std::string(app.exe_name);
      entry.appName = std::string(app.display_name);
      entry.tracked = true;
      entry.captureActive = i % 20 == 0;
      entry.captureEndpointRole =
          i % 40 == 0 ? CaptureEndpointRole::communications : CaptureEndpointRole::other;
    } else {
      entry.bundleId = "process" + std::to_string(i) + ".exe";
      entry.appName = entry.bundleId;
      entry.captureActive = i % 25 == 1;
      entry.captureEndpointRole = CaptureEndpointRole::system_default;
    }
    if (!entry.captureActive) entry.captureEndpointRole = CaptureEndpointRole::unknown;
    entry.active = entry.captureActive;
    entry.renderActive = i % 3 == 0;
    snapshot.push_back(std::move(entry));
  }
  return snapshot;
}

// One steady-state poll: the snapshot copy the caller hands over, the tracker, and the lines.
void BM_PollToLines(benchmark::State& state) {
  const AudioProcessSnapshot snapshot = make_snapshot(static_cast<std::size_t>(state.range(0)));
  constexpr double TS = 1765181234.5;
  MicUseTracker tracker;
  process_snapshot(tracker, snapshot, TS);
  std::string sink;
  for (auto _ : state) {
    for (const JsonValue& event : process_snapshot(tracker, snapshot, TS)) {
      append_compact_text(sink, event);
      sink.push_back('\n');
    }
    benchmark::DoNotOptimize(sink.data());
    benchmark::ClobberMemory();
    sink.clear();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PollToLines)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace kolvex
