#include "endpoints/notice_queue.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

namespace kolvex {
namespace {

using std::chrono::milliseconds;

EndpointNotice added(std::string id, double ts = 0.0) {
  return {Added{std::move(id)}, ts};
}

std::string id_of(const EndpointNotice& notice) {
  return std::get<Added>(notice.change).device_id;
}

TEST(NoticeQueueTest, HoldsCapacityNoticesInOrderThenRefuses) {
  NoticeQueue q = make_notice_queue();
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(q.sender.try_send(added(std::to_string(i))));
  EXPECT_FALSE(q.sender.try_send(added("257th")));
  for (int i = 0; i < 256; ++i) {
    std::optional<EndpointNotice> n = q.receiver.try_receive();
    ASSERT_TRUE(n);
    EXPECT_EQ(id_of(*n), std::to_string(i));
  }
  EXPECT_FALSE(q.receiver.try_receive());
  EXPECT_TRUE(q.sender.try_send(added("room again")));
}

TEST(NoticeQueueTest, PostNoticeStampsAndRaisesTheFlagOnlyWhenANoticeIsLost) {
  NoticeQueue q = make_notice_queue(2);
  auto overflow = std::make_shared<std::atomic<bool>>(false);
  post_notice(q.sender, overflow, Added{"a"});
  post_notice(q.sender, overflow, Removed{"b"});
  EXPECT_FALSE(overflow->load());
  post_notice(q.sender, overflow, Added{"lost"});
  EXPECT_TRUE(overflow->load());
  // The flag stays raised until the consumer exchanges it, whatever arrives meanwhile.
  ASSERT_TRUE(q.receiver.try_receive());
  post_notice(q.sender, overflow, Added{"fits"});
  EXPECT_TRUE(overflow->exchange(false));
  EXPECT_FALSE(overflow->load());
  std::optional<EndpointNotice> removed = q.receiver.try_receive();
  ASSERT_TRUE(removed);
  EXPECT_TRUE(std::holds_alternative<Removed>(removed->change));
  EXPECT_GT(removed->ts, 1.7e9);
}

TEST(NoticeQueueTest, TimedReceiveWakesOnASendFromAnotherThread) {
  NoticeQueue q = make_notice_queue();
  std::thread producer([sender = q.sender]() mutable {
    std::this_thread::sleep_for(milliseconds(20));
    sender.try_send(added("late"));
  });
  // A generous timeout: the test only needs the wake-up, not its speed.
  std::optional<EndpointNotice> n = q.receiver.receive_for(std::chrono::minutes(5));
  producer.join();
  ASSERT_TRUE(n);
  EXPECT_EQ(id_of(*n), "late");
}

TEST(NoticeQueueTest, TimedReceiveGivesNothingAfterItsTimeout) {
  NoticeQueue q = make_notice_queue();
  EXPECT_FALSE(q.receiver.receive_for(milliseconds(1)));
  EXPECT_FALSE(q.receiver.disconnected());
}

TEST(NoticeQueueTest, DisconnectedOnceEverySenderIsGoneButWaitingNoticesStillArrive) {
  NoticeQueue q = make_notice_queue();
  {
    NoticeSender second = q.sender;
    ASSERT_TRUE(second.try_send(added("from the copy")));
  }
  EXPECT_FALSE(q.receiver.disconnected());
  {
    NoticeSender last = std::move(q.sender);
    ASSERT_TRUE(last.try_send(added("last words")));
  }
  EXPECT_TRUE(q.receiver.disconnected());
  EXPECT_EQ(id_of(*q.receiver.try_receive()), "from the copy");
  EXPECT_EQ(id_of(*q.receiver.receive_for(std::chrono::minutes(5))), "last words");
  EXPECT_FALSE(q.receiver.receive_for(std::chrono::minutes(5)));  // returns at once
}

TEST(NoticeQueueTest, SendingFailsOnceTheReceiverIsGone) {
  std::optional<NoticeQueue> q = make_notice_queue();
  NoticeSender sender = q->sender;
  q.reset();
  EXPECT_FALSE(sender.try_send(added("nobody listens")));
}

// Several producers at once: nothing lost below capacity, FIFO per producer, and every
// refused notice accounted for by the flag. Also run under ThreadSanitizer.
TEST(NoticeQueueTest, ConcurrentProducersKeepTheirOwnOrder) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 5000;
  NoticeQueue q = make_notice_queue();
  auto overflow = std::make_shared<std::atomic<bool>>(false);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([sender = q.sender, overflow, p]() mutable {
      for (int i = 0; i < kPerProducer; ++i) {
        post_notice(sender, overflow,
                    StateChanged{static_cast<std::uint32_t>(i), std::to_string(p)});
      }
    });
  }
  std::map<std::string, std::int64_t> last_seen;
  std::size_t received = 0;
  auto consume = [&](const EndpointNotice& n) {
    const auto& c = std::get<StateChanged>(n.change);
    auto [it, fresh] = last_seen.try_emplace(c.device_id, -1);
    ASSERT_GT(static_cast<std::int64_t>(c.new_state), it->second) << c.device_id;
    it->second = c.new_state;
    ++received;
  };
  NoticeReceiver& receiver = q.receiver;
  {
    NoticeSender drop = std::move(q.sender);  // only the producers' copies keep it connected
  }
  while (std::optional<EndpointNotice> n = receiver.receive_for(std::chrono::minutes(5))) {
    consume(*n);
  }
  for (std::thread& t : producers) t.join();
  while (std::optional<EndpointNotice> n = receiver.try_receive()) consume(*n);
  EXPECT_TRUE(receiver.disconnected());
  EXPECT_EQ(received == kProducers * kPerProducer, !overflow->load());
  EXPECT_GT(received, 0u);
}

}  // namespace
}  // namespace kolvex
