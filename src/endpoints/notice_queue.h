#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "endpoints/endpoint_notice.h"

namespace kolvex {

inline constexpr std::size_t NOTICE_QUEUE_CAPACITY = 256;

namespace notice_queue_detail {
struct Shared;
}

// A producer's end. Copies are further producers; the queue is disconnected for the receiver
// once every sending end is gone.
class NoticeSender {
 public:
  explicit NoticeSender(std::shared_ptr<notice_queue_detail::Shared> shared);
  NoticeSender(const NoticeSender& other);
  NoticeSender& operator=(const NoticeSender&) = delete;
  NoticeSender(NoticeSender&&) noexcept = default;
  ~NoticeSender();

  // Never waits: false when the queue is full or nobody receives any more.
  bool try_send(EndpointNotice&& notice);
  // Notices were lost: raises the queue's overflow flag, which stays up until taken, and ends
  // the receiver's wait.
  void report_overflow();
  // Ends the receiver's wait without a notice: something worth a poll changed. Takes no room
  // in the queue; any number of them before the receiver looks count as one.
  void wake_up();

 private:
  std::shared_ptr<notice_queue_detail::Shared> shared_;
};

class NoticeReceiver {
 public:
  explicit NoticeReceiver(std::shared_ptr<notice_queue_detail::Shared> shared);
  NoticeReceiver(NoticeReceiver&&) noexcept = default;
  ~NoticeReceiver();

  // Waits until `deadline` for a notice; returns early, with nothing, once disconnected, when
  // woken up or while the overflow flag is up.
  std::optional<EndpointNotice> receive_until(std::chrono::steady_clock::time_point deadline);
  std::optional<EndpointNotice> try_receive();
  bool disconnected() const;
  // Whether notices were lost since the last call; lowers the flag.
  bool take_overflow();
  // Whether a wake-up came since the last call.
  bool take_wake_up();

 private:
  std::shared_ptr<notice_queue_detail::Shared> shared_;
};

struct NoticeQueue {
  NoticeSender sender;
  NoticeReceiver receiver;
};

NoticeQueue make_notice_queue(std::size_t capacity = NOTICE_QUEUE_CAPACITY);

}  // namespace kolvex
