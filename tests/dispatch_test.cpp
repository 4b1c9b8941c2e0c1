#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace sysaudio {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTest, RunsWorkOneAtATimeInSubmissionOrderOffTheCallersThread) {
  SerialQueue queue("test.queue");
  constexpr int perThread = 2000;
  std::vector<int> seen;  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::atomic<bool> onCallersThread{false};
  const auto caller = std::this_thread::get_id();

  auto submit = [&](int base) {
    for (int i = 0; i < perThread; ++i) {
      queue.async([&, value = base + i] {
        if (running.fetch_add(1) != 0) {
          ++overlaps;
        }
        if (std::this_thread::get_id() == caller) {
          onCallersThread = true;
        }
        seen.push_back(value);
        running.fetch_sub(1);
      });
    }
  };
  std::thread other([&] { submit(100000); });
  submit(0);
  other.join();
  queue.sync([] {});

  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_FALSE(onCallersThread.load());
  ASSERT_EQ(seen.size(), 2u * perThread);
  // Each submitter's items keep their order.
  int lastOwn = -1;
  int lastOther = 99999;
  for (const int value : seen) {
    int& last = value >= 100000 ? lastOther : lastOwn;
    EXPECT_EQ(value, last + 1);
    last = value;
  }
}

TEST(SerialQueueTest, DestroyingTheQueueRunsWhatWasAlreadySubmitted) {
  std::atomic<int> ran{0};
  {
    SerialQueue queue("test.queue");
    for (int i = 0; i < 100; ++i) {
      queue.async([&] {
        std::this_thread::sleep_for(100us);
        ++ran;
      });
    }
  }
  EXPECT_EQ(ran.load(), 100);
}

TEST(TimerSourceTest, FiresFirstAtItsDeadlineThenOncePerIntervalOnItsQueue) {
  SerialQueue queue("test.queue");
  std::vector<DispatchClock::time_point> ticks;  // touched only on the queue
  std::atomic<bool> offQueue{false};
  TimerSource timer(queue);
  const auto start = DispatchClock::now();
  timer.schedule(start + 100ms, 20ms);
  timer.setEventHandler([&] {
    if (!queue.isCurrent()) {
      offQueue = true;
    }
    ticks.push_back(DispatchClock::now());
  });

  // Suspended until resumed.
  std::this_thread::sleep_for(150ms);
  queue.sync([&] { EXPECT_TRUE(ticks.empty()); });
  timer.resume();
  std::this_thread::sleep_for(400ms);

  queue.sync([&] {
    EXPECT_FALSE(offQueue.load());
    ASSERT_GE(ticks.size(), 5u);
    // A tolerant bound for a loaded machine: roughly 20 ticks in 400 ms, never two at once.
    EXPECT_LE(ticks.size(), 22u);
    for (std::size_t i = 1; i < ticks.size(); ++i) {
      EXPECT_GE(ticks[i] - ticks[i - 1], 1ms);
    }
  });
}

TEST(TimerSourceTest, DoesNotFireBeforeItsFirstDeadline) {
  SerialQueue queue("test.queue");
  std::atomic<int> ticks{0};
  DispatchClock::time_point first;
  TimerSource timer(queue);
  const auto deadline = DispatchClock::now() + 200ms;
  timer.schedule(deadline, 1h);
  timer.setEventHandler([&] {
    first = DispatchClock::now();
    ++ticks;
  });
  timer.resume();
  std::this_thread::sleep_for(350ms);
  queue.sync([&] {
    ASSERT_EQ(ticks.load(), 1);
    EXPECT_GE(first, deadline);
  });
}

TEST(TimerSourceTest, TicksMissedWhileTheQueueWasBusyMergeIntoOne) {
  SerialQueue queue("test.queue");
  std::atomic<int> ticks{0};
  TimerSource timer(queue);
  timer.schedule(DispatchClock::now(), 50ms);
  timer.setEventHandler([&] { ++ticks; });
  queue.async([] { std::this_thread::sleep_for(400ms); });
  timer.resume();
  std::this_thread::sleep_for(420ms);
  queue.sync([] {});
  // At most the first tick, one merged tick, and a tick or two of slack: never the eight that
  // would have been due.
  EXPECT_LE(ticks.load(), 4);
  EXPECT_GE(ticks.load(), 1);
}

TEST(TimerSourceTest, DeferringSkipsTheTicksBeforeAMomentAndKeepsThePhase) {
  SerialQueue queue("test.queue");
  std::vector<DispatchClock::time_point> ticks;  // touched only on the queue
  TimerSource timer(queue);
  const auto start = DispatchClock::now() + 20ms;
  timer.schedule(start, 40ms);
  bool deferred = false;
  timer.setEventHandler([&] {
    ticks.push_back(DispatchClock::now());
    if (!deferred) {
      deferred = true;
      // From the first tick, nothing until 300 ms after the start: the next tick is the one of
      // the schedule at 300 + 20 ms, not 300 ms and not 60 ms.
      timer.deferUntil(start + 300ms);
    }
  });
  timer.resume();
  std::this_thread::sleep_for(450ms);
  queue.sync([&] {
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_GE(ticks[1], start + 320ms);
    // Later ticks follow the original schedule again.
    for (std::size_t i = 2; i < ticks.size(); ++i) {
      EXPECT_GE(ticks[i], start + 320ms + (i - 1) * 40ms);
    }
  });
}

TEST(TimerSourceTest, NothingFiresOnceTheTimerIsDestroyed) {
  SerialQueue queue("test.queue");
  std::atomic<int> ticks{0};
  {
    TimerSource timer(queue);
    timer.schedule(DispatchClock::now(), 5ms);
    timer.setEventHandler([&] {
      std::this_thread::sleep_for(2ms);
      ++ticks;
    });
    timer.resume();
    std::this_thread::sleep_for(50ms);
  }
  const int atDestruction = ticks.load();
  std::this_thread::sleep_for(50ms);
  queue.sync([] {});
  EXPECT_EQ(ticks.load(), atDestruction);
  EXPECT_GE(atDestruction, 1);
}

}  // namespace
}  // namespace sysaudio
