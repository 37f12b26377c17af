#include "endpoints/notice_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace kolvex {

namespace notice_queue_detail {

struct Shared {
  explicit Shared(std::size_t notice_capacity) : capacity(notice_capacity) {}

  const std::size_t capacity;
  // Apart from the lock: producers raise it without waiting, and only the exchange clears it.
  std::atomic<bool> overflow{false};
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<EndpointNotice> notices;
  std::size_t senders = 0;
  bool receiver_alive = true;
  bool woken = false;
};

}  // namespace notice_queue_detail

using notice_queue_detail::Shared;

NoticeSender::NoticeSender(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {
  std::lock_guard<std::mutex> guard(shared_->lock);
  ++shared_->senders;
}

NoticeSender::NoticeSender(const NoticeSender& other) : NoticeSender(other.shared_) {}

NoticeSender::~NoticeSender() {
  if (!shared_) return;  // moved from
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    --shared_->senders;
  }
  shared_->arrived.notify_all();
}

bool NoticeSender::try_send(EndpointNotice&& notice) {
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (!shared_->receiver_alive || shared_->notices.size() >= shared_->capacity) return false;
    shared_->notices.push_back(std::move(notice));
  }
  shared_->arrived.notify_one();
  return true;
}

void NoticeSender::report_overflow() {
  shared_->overflow.store(true, std::memory_order_release);
  // Through the lock, so that a receiver about to wait sees the flag or gets the notification.
  { std::lock_guard<std::mutex> guard(shared_->lock); }
  shared_->arrived.notify_one();
}

void NoticeSender::wake_up() {
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->woken = true;
  }
  shared_->arrived.notify_one();
}

NoticeReceiver::NoticeReceiver(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

NoticeReceiver::~NoticeReceiver() {
  if (!shared_) return;
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->receiver_alive = false;
  shared_->notices.clear();
}

std::optional<EndpointNotice> NoticeReceiver::receive_until(
    std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> guard(shared_->lock);
  shared_->arrived.wait_until(guard, deadline, [this] {
    return !shared_->notices.empty() || shared_->senders == 0 || shared_->woken ||
           shared_->overflow.load(std::memory_order_relaxed);
  });
  if (shared_->notices.empty()) return std::nullopt;
  EndpointNotice notice = std::move(shared_->notices.front());
  shared_->notices.pop_front();
  return notice;
}

std::optional<EndpointNotice> NoticeReceiver::try_receive() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  if (shared_->notices.empty()) return std::nullopt;
  EndpointNotice notice = std::move(shared_->notices.front());
  shared_->notices.pop_front();
  return notice;
}

bool NoticeReceiver::disconnected() const {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->senders == 0;
}

bool NoticeReceiver::take_overflow() {
  return shared_->overflow.exchange(false, std::memory_order_acquire);
}

bool NoticeReceiver::take_wake_up() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return std::exchange(shared_->woken, false);
}

NoticeQueue make_notice_queue(std::size_t capacity) {
  auto shared = std::make_shared<Shared>(capacity);
  return NoticeQueue{NoticeSender(shared), NoticeReceiver(shared)};
}

}  // namespace kolvex
