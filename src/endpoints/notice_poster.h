#pragma once

#include <utility>

#include "base/clock.h"
#include "endpoints/notice_queue.h"
#include "platform/audio_platform.h"

namespace kolvex {

// Stamps the notice and offers it to the queue; a notice that cannot be queued is dropped and
// the queue's overflow flag raised instead.
inline void post_notice(NoticeSender& sender, EndpointChange change) {
  if (!sender.try_send(EndpointNotice{std::move(change), now_ts()})) sender.report_overflow();
}

// The portable half of the notification client: what the platform reports, stamped and
// queued for the main thread. Runs on the platform's threads and never blocks them.
class NoticePoster : public EndpointNotificationSink {
 public:
  explicit NoticePoster(NoticeSender sender) : sender_(std::move(sender)) {}

  void state_changed(std::string device_id, std::uint32_t new_state) override {
    post_notice(sender_, StateChanged{new_state, std::move(device_id)});
  }
  void added(std::string device_id) override { post_notice(sender_, Added{std::move(device_id)}); }
  void removed(std::string device_id) override {
    post_notice(sender_, Removed{std::move(device_id)});
  }
  void default_changed(std::int32_t flow, std::int32_t role,
                       std::optional<std::string> device_id) override {
    post_notice(sender_, DefaultChanged{flow, role, std::move(device_id)});
  }
  void notices_lost() override { sender_.report_overflow(); }
  void sessions_changed() override { sender_.wake_up(); }

 private:
  NoticeSender sender_;
};

}  // namespace kolvex
