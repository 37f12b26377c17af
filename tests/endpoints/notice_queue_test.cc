#include "endpoints/notice_queue.h"
#include "endpoints/notice_poster.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

namespace kolvex {
namespace {

using std::chrono::milliseconds;

std::optional<EndpointNotice> receive_within(NoticeReceiver& receiver,
                                             std::chrono::nanoseconds timeout) {
  return receiver.receive_until(std::chrono::steady_clock::now() + timeout);
}

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
  post_notice(q.sender, Added{"a"});
  post_notice(q.sender, Removed{"b"});
  EXPECT_FALSE(q.receiver.take_overflow());
  post_notice(q.sender, Added{"lost"});
  // The flag stays raised until the consumer takes it, whatever arrives meanwhile.
  ASSERT_TRUE(q.receiver.try_receive());
  post_notice(q.sender, Added{"fits"});
  EXPECT_TRUE(q.receiver.take_overflow());
  EXPECT_FALSE(q.receiver.take_overflow());
  q.sender.report_overflow();  // lost elsewhere, as a platform reports a broken connection
  EXPECT_TRUE(q.receiver.take_overflow());
  std::optional<EndpointNotice> removed = q.receiver.try_receive();
  ASSERT_TRUE(removed);
  EXPECT_TRUE(std::holds_alternative<Removed>(removed->change));
  EXPECT_GT(removed->ts, 1.7e9);
}

// Each from another thread while the receiver waits. The timeout is generous: only the wake-up
// counts, not its speed.
TEST(NoticeQueueTest, TimedReceiveWakesOnANoticeALossOrAWakeUpFromAnotherThread) {
  for (const std::string what : {"notice", "loss", "wake-up"}) {
    NoticeQueue q = make_notice_queue();
    std::thread producer([sender = q.sender, what]() mutable {
      std::this_thread::sleep_for(milliseconds(20));
      if (what == "notice") sender.try_send(added("late"));
      if (what == "loss") sender.report_overflow();
      if (what == "wake-up") sender.wake_up();
    });
    std::optional<EndpointNotice> n = receive_within(q.receiver, std::chrono::minutes(5));
    producer.join();
    EXPECT_EQ(n ? id_of(*n) : what, what == "notice" ? "late" : what);
  }
}

TEST(NoticeQueueTest, WakeUpsEndTheWaitWithoutTakingRoom) {
  NoticeQueue q = make_notice_queue(1);
  std::thread producer([sender = q.sender]() mutable {
    for (int i = 0; i < 300; ++i) sender.wake_up();
  });
  producer.join();
  EXPECT_FALSE(receive_within(q.receiver, std::chrono::minutes(5)));
  EXPECT_TRUE(q.receiver.take_wake_up());
  EXPECT_FALSE(q.receiver.take_wake_up());  // however many came, one
  EXPECT_TRUE(q.sender.try_send(added("fits")));
  EXPECT_FALSE(q.receiver.take_overflow());
}

TEST(NoticeQueueTest, TimedReceiveGivesNothingAfterItsTimeout) {
  NoticeQueue q = make_notice_queue();
  EXPECT_FALSE(receive_within(q.receiver, milliseconds(1)));
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
  EXPECT_EQ(id_of(*receive_within(q.receiver, std::chrono::minutes(5))), "last words");
  EXPECT_FALSE(receive_within(q.receiver, std::chrono::minutes(5)));  // returns at once
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
  constexpr int PRODUCERS = 4;
  constexpr int PER_PRODUCER = 5000;
  NoticeQueue q = make_notice_queue();
  std::vector<std::thread> producers;
  for (int p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([sender = q.sender, p]() mutable {
      for (int i = 0; i < PER_PRODUCER; ++i) {
        post_notice(sender, StateChanged{static_cast<std::uint32_t>(i), std::to_string(p)});
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
  while (std::optional<EndpointNotice> n = receive_within(receiver, std::chrono::minutes(5))) {
    consume(*n);
  }
  for (std::thread& t : producers) t.join();
  while (std::optional<EndpointNotice> n = receiver.try_receive()) consume(*n);
  EXPECT_TRUE(receiver.disconnected());
  EXPECT_EQ(received == PRODUCERS * PER_PRODUCER, !receiver.take_overflow());
  EXPECT_GT(received, 0u);
}

}  // namespace
}  // namespace kolvex
