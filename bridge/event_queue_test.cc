#include "bridge/event_queue.h"

#include <gtest/gtest.h>

namespace zel::bridge {
namespace {

BridgeEvent Tick(int32_t n) {
  BridgeEvent e;
  e.interface_name = "_DTestEvents";
  e.member = "OnTick";
  e.args.push_back(Variant::I4(n));
  return e;
}

std::vector<int32_t> Drain(EventQueue& q, EventQueue::Subscriber* s, uint32_t* dropped) {
  std::vector<int32_t> got;
  BridgeEvent e;
  while (q.Pop(s, &e)) {
    if (e.member == kDroppedMember) {
      *dropped += e.args[0].ui4();
    } else {
      got.push_back(e.args[0].i4());
    }
  }
  return got;
}

TEST(EventQueueTest, BacklogGoesToTheFirstStreamInOrder) {
  EventQueue q(8);
  for (int i = 1; i <= 3; ++i) q.Push(Tick(i));
  EXPECT_EQ(3u, q.backlog_size());
  int wakes = 0;
  auto s = q.Subscribe([&] { ++wakes; });
  EXPECT_EQ(0u, q.backlog_size());
  q.Push(Tick(4));
  EXPECT_EQ(1, wakes);
  uint32_t dropped = 0;
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 4}), Drain(q, s.get(), &dropped));
  EXPECT_EQ(0u, dropped);
}

TEST(EventQueueTest, FullQueueDropsOldestAndReportsTheCountFirst) {
  EventQueue q(3);
  auto s = q.Subscribe([] {});
  for (int i = 1; i <= 7; ++i) q.Push(Tick(i));
  BridgeEvent first;
  ASSERT_TRUE(q.Pop(s.get(), &first));
  EXPECT_EQ(kDroppedMember, first.member);
  EXPECT_EQ(0u, first.seq);
  EXPECT_EQ(4u, first.args[0].ui4());
  uint32_t dropped = 0;
  EXPECT_EQ((std::vector<int32_t>{5, 6, 7}), Drain(q, s.get(), &dropped));
  EXPECT_EQ(0u, dropped) << "the count is reported once";
}

TEST(EventQueueTest, EveryStreamGetsEveryEventWithTheSameSequence) {
  EventQueue q(8);
  auto a = q.Subscribe([] {});
  auto b = q.Subscribe([] {});
  q.Push(Tick(1));
  q.Push(Tick(2));
  BridgeEvent ea, eb;
  ASSERT_TRUE(q.Pop(a.get(), &ea));
  ASSERT_TRUE(q.Pop(b.get(), &eb));
  EXPECT_EQ(ea.seq, eb.seq);
  q.Unsubscribe(a);
  q.Push(Tick(3));
  uint32_t dropped = 0;
  EXPECT_EQ((std::vector<int32_t>{2, 3}), Drain(q, b.get(), &dropped));
  EXPECT_EQ(1u, q.subscriber_count());
}

TEST(EventQueueTest, CloseWakesStreamsAndIgnoresLaterEvents) {
  EventQueue q(8);
  int wakes = 0;
  auto s = q.Subscribe([&] { ++wakes; });
  q.Close();
  EXPECT_EQ(1, wakes);
  EXPECT_TRUE(q.closed());
  q.Push(Tick(1));
  BridgeEvent e;
  EXPECT_FALSE(q.Pop(s.get(), &e));
  EXPECT_EQ(1, wakes);
}

}  // namespace
}  // namespace zel::bridge
