#include "bin/endpoint_monitoring.h"

#include <thread>
#include <utility>

#include "output/clock.h"

namespace kolvex {
namespace {

// Runs on the platform's threads: only stamps and queues, never blocks.
class NoticePoster : public EndpointNotificationSink {
 public:
  NoticePoster(NoticeSender sender, NoticeOverflow overflow)
      : sender_(std::move(sender)), overflow_(std::move(overflow)) {}

  void state_changed(std::string device_id, std::uint32_t new_state) override {
    post_notice(sender_, overflow_, StateChanged{new_state, std::move(device_id)});
  }
  void added(std::string device_id) override {
    post_notice(sender_, overflow_, Added{std::move(device_id)});
  }
  void removed(std::string device_id) override {
    post_notice(sender_, overflow_, Removed{std::move(device_id)});
  }
  void default_changed(std::int32_t flow, std::int32_t role,
                       std::optional<std::string> device_id) override {
    post_notice(sender_, overflow_, DefaultChanged{flow, role, std::move(device_id)});
  }
  void notices_lost() override { overflow_->store(true, std::memory_order_release); }

 private:
  NoticeSender sender_;
  NoticeOverflow overflow_;
};

}  // namespace

std::unique_ptr<EndpointMonitoring> start_endpoint_monitoring(AudioDeviceEnumerator& enumerator,
                                                              EventSink& sink) {
  NoticeQueue queue = make_notice_queue();
  auto overflow = std::make_shared<std::atomic<bool>>(false);
  auto poster = std::make_shared<NoticePoster>(std::move(queue.sender), overflow);
  Result<std::unique_ptr<EndpointRegistration>> registered =
      enumerator.register_endpoint_notifications(std::move(poster));
  auto monitoring = std::unique_ptr<EndpointMonitoring>(new EndpointMonitoring{
      std::move(queue.receiver), std::move(overflow), registered ? std::move(*registered) : nullptr,
      DeviceLifecycle{enumerator, sink, {}, {}, 0}});
  if (!monitoring->registration) {
    emit_lifecycle(monitoring->lifecycle, LifecycleChange::listener_failed, LifecycleRole::none,
                   FlowLabel::unknown, std::nullopt, now_ts());
  }
  monitoring->lifecycle.flow_cache = build_flow_cache(enumerator);
  return monitoring;
}

void wait_for_next_poll(EndpointMonitoring& monitoring) {
  if (!monitoring.registration) {
    std::this_thread::sleep_for(monitoring.poll_interval);
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + monitoring.poll_interval;
  if (std::optional<EndpointNotice> notice =
          monitoring.receiver.receive_for(monitoring.poll_interval)) {
    drain_notices(monitoring.lifecycle, monitoring.receiver, *notice);
  } else if (monitoring.receiver.disconnected()) {
    // Nothing can arrive any more; without this the loop would poll without pause.
    std::this_thread::sleep_until(deadline);
  }
  if (monitoring.overflow->exchange(false)) recover_from_overflow(monitoring.lifecycle);
}

}  // namespace kolvex
