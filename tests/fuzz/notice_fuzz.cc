// Endpoint notices through the queue, de-duplication and mapping, against a machine whose
// endpoints come and go: every event is one well-formed device_lifecycle line numbered in turn,
// a notice gives at most one event, and what is kept stays within its bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "endpoints/device_lifecycle.h"
#include "fakes/fake_audio_platform.h"
#include "fuzz_support.h"
#include "output/json_text.h"

namespace kolvex::fuzz {
namespace {

using Words = std::vector<std::string_view>;

struct CheckingSink : EventSink {
  void emit(const JsonValue& event) override {
    const std::string line = to_compact_text(event);
    require(std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; }),
            "the line is printable ASCII", line);
    const std::optional<JsonValue> parsed = parse_compact_json(line);
    require(parsed && parsed->as_object(), "the line is a compact JSON object", line);
    const JsonObject& members = *parsed->as_object();
    const auto word = [&](std::string_view key, const Words& allowed) {
      const JsonValue* value = members.find(key);
      const std::string* text = value ? value->as_string() : nullptr;
      require(text && std::find(allowed.begin(), allowed.end(), *text) != allowed.end(), key, line);
      return *text;
    };
    word("type", {"device_lifecycle"});
    const std::string change =
        word("change", {"default_role_changed", "endpoint_added", "endpoint_removed",
                        "endpoint_state_changed", "listener_failed"});
    const bool default_change = change == "default_role_changed";
    word("role", default_change ? Words{"communications", "system_default"} : Words{"none"});
    word("scope", default_change                ? Words{"capture"}
                  : change == "listener_failed" ? Words{"unknown"}
                                                : Words{"capture", "render", "unknown"});
    const bool has_state = change == "endpoint_state_changed";
    if (has_state) word("state", {"active", "disabled", "not_present", "unplugged", "unknown"});
    require(members.size() == (has_state ? 8u : 7u), "no member is missing or extra", line);
    const auto has = [&](std::string_view key, const JsonValue& expected) {
      const JsonValue* value = members.find(key);
      return value != nullptr && *value == expected;
    };
    require(has("contractVersion", 1), "contractVersion is 1", line);
    require(has("sequence", ++count), "sequence counts the events", line);
    const JsonValue* ts = members.find("ts");
    const double* seconds = ts ? std::get_if<double>(&ts->storage()) : nullptr;
    require(seconds && std::isfinite(*seconds) && *seconds >= 0, "ts is a time", line);
  }
  std::uint64_t count = 0;
};

std::string endpoint_id(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.ConsumeRandomLengthString(12);
  return in.PickValueInArray<const char*>({"mic", "usb", "spk", "gone", ""});
}

EndpointNotice notice(FuzzedDataProvider& in, double& ts) {
  // Repeats within, at and beyond the one-second window, and a clock set back.
  ts = std::max(0.0, ts + in.PickValueInArray({0.0, 1e-9, 0.4, 0.9, 1.0, 1.5, -2.0}));
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return {StateChanged{in.ConsumeIntegral<std::uint32_t>(), endpoint_id(in)}, ts};
    case 1:
      return {Added{endpoint_id(in)}, ts};
    case 2:
      return {Removed{endpoint_id(in)}, ts};
    default: {
      const std::int32_t flow = in.ConsumeIntegralInRange(-1, 3);
      const std::int32_t role = in.ConsumeIntegralInRange(-1, 3);
      std::optional<std::string> id;
      if (in.ConsumeBool()) id = endpoint_id(in);
      return {DefaultChanged{flow, role, std::move(id)}, ts};
    }
  }
}

void change_machine(FuzzedDataProvider& in, fake::FakeAudioScript& script) {
  std::vector<fake::FakeEndpoint>& endpoints =
      in.ConsumeBool() ? script.capture.endpoints : script.render.endpoints;
  if (!endpoints.empty() && in.ConsumeBool()) {
    endpoints.pop_back();
    return;
  }
  fake::FakeEndpoint& added = endpoints.emplace_back(fake::FakeEndpoint{.id = endpoint_id(in)});
  if (in.ConsumeBool()) added.data_flow_fault = fake::fails(-1);
  if (in.ConsumeBool()) added.reported_flow = in.ConsumeIntegral<std::int32_t>();
}

}  // namespace
}  // namespace kolvex::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kolvex;
  using namespace kolvex::fuzz;
  FuzzedDataProvider in(data, size);
  fake::FakeAudioScript script;
  script.capture.endpoints = {fake::FakeEndpoint{.id = "mic"}, fake::FakeEndpoint{.id = "usb"}};
  script.render.endpoints = {fake::FakeEndpoint{.id = "spk"}};
  fake::FakeAudioPlatform platform(std::move(script));
  const std::unique_ptr<AudioDeviceEnumerator> enumerator =
      std::move(*platform.create_device_enumerator());
  CheckingSink sink;
  DeviceLifecycle lifecycle(*enumerator, sink, build_flow_cache(*enumerator));
  NoticeQueue queue = make_notice_queue(in.ConsumeIntegralInRange<std::size_t>(1, 8));
  double ts = 1765181234.5;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        if (!queue.sender.try_send(notice(in, ts))) queue.sender.report_overflow();
        break;
      case 1:
        // What the main loop's wait does with what arrived.
        if (std::optional<EndpointNotice> first = queue.receiver.try_receive()) {
          drain_notices(lifecycle, queue.receiver, *first);
        }
        if (queue.receiver.take_overflow()) recover_from_overflow(lifecycle);
        break;
      case 2: {
        const EndpointNotice one = notice(in, ts);
        const std::uint64_t before = sink.count;
        handle_notice(lifecycle, one);
        require(sink.count - before <= 1, "a notice gives at most one event");
        for (const auto& [subject, entry] : lifecycle.dedup) {
          require(entry.ts >= one.ts - 1.0, "nothing older than a second is kept", subject);
        }
        break;
      }
      default:
        change_machine(in, platform.script());
        break;
    }
    for (const auto& [id, flow] : lifecycle.flow_cache) {
      require(flow != FlowLabel::unknown, "the flow cache holds only known flows", id);
    }
  }
  return 0;
}
