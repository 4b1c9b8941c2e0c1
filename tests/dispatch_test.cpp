#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "cadence.h"

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
  // The silence filler's interval.
  constexpr auto interval = 50ms;
  timer.schedule(start + 100ms, interval);
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
  std::this_thread::sleep_for(1000ms);

  queue.sync([&] {
    EXPECT_FALSE(offQueue.load());
    ASSERT_GE(ticks.size(), 5u);
    // Roughly 20 ticks in a second, never two at once.
    EXPECT_LE(ticks.size(), 22u);
    for (std::size_t i = 1; i < ticks.size(); ++i) {
      EXPECT_GE(ticks[i] - ticks[i - 1], 1ms);
    }
    // One interval apart, judged on most ticks so that a loaded machine's late tick (and the
    // early one after it, which keeps the phase) passes; a timer that skips ticks does not. Too
    // often is judged on the median, which a late tick and the early one after it leave alone.
    const std::vector<double> spacings = testing::spacingsInMilliseconds(ticks);
    EXPECT_GE(testing::percentile(spacings, 0.5), 25.0)
        << "ticks come too often: " << testing::listed(spacings);
    EXPECT_LE(testing::percentile(spacings, 0.9), 75.0)
        << "ticks come too seldom: " << testing::listed(spacings);
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

TEST(SignalSourceTest, RaisesBeforeResumeMergeIntoOneRunOnTheQueue) {
  SerialQueue queue("test.queue");
  int runs = 0;  // touched only on the queue
  std::atomic<bool> offQueue{false};
  SignalSource source(queue);
  source.setEventHandler([&] {
    if (!queue.isCurrent()) {
      offQueue = true;
    }
    ++runs;
  });
  for (int i = 0; i < 100; ++i) {
    source.raise();
  }
  std::this_thread::sleep_for(50ms);
  queue.sync([&] { EXPECT_EQ(runs, 0); });
  source.resume();
  queue.sync([&] { EXPECT_EQ(runs, 1); });
  source.raise();
  queue.sync([&] { EXPECT_EQ(runs, 2); });
  EXPECT_FALSE(offQueue.load());
}

// A raise from another thread, at any moment (while the queue's thread runs the handler, is
// about to sleep, or sleeps with or without a timer's deadline), always brings one more run. Each
// raise here waits for its run before the next one, at a varying delay after the previous run,
// so that a lost wake-up shows as a raise that is never answered.
class SignalWakeTest : public ::testing::TestWithParam<bool> {};

TEST_P(SignalWakeTest, NoRaiseIsLostWhateverTheQueueIsDoing) {
  SerialQueue queue("test.queue");
  std::optional<TimerSource> timer;
  if (GetParam()) {
    timer.emplace(queue);
    timer->schedule(DispatchClock::now() + 1h, 1h);
    timer->setEventHandler([] {});
    timer->resume();
  }
  constexpr int raises = 20000;
  std::atomic<int> value{0};
  std::atomic<int> seen{0};
  SignalSource source(queue);
  source.setEventHandler([&] { seen = value.load(); });
  source.resume();
  std::mt19937 random(3);
  for (int i = 1; i <= raises; ++i) {
    // Right after the previous run, a moment later, or once the queue has surely slept.
    switch (std::uniform_int_distribution<int>(0, 7)(random)) {
      case 0:
        std::this_thread::sleep_for(50us);
        break;
      case 1:
      case 2:
        for (int spin = std::uniform_int_distribution<int>(0, 2000)(random); spin > 0; --spin) {
          std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        break;
      default:
        break;
    }
    value = i;
    source.raise();
    const auto deadline = DispatchClock::now() + 5s;
    while (seen.load() < i && DispatchClock::now() < deadline) {
      std::this_thread::yield();
    }
    ASSERT_EQ(seen.load(), i) << "raise " << i << " was never answered";
  }
}

INSTANTIATE_TEST_SUITE_P(Sleeps, SignalWakeTest, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "WithATimerDeadline" : "WithoutDeadline");
});

TEST(SignalSourceTest, NothingRunsOnceTheSourceIsCancelled) {
  SerialQueue queue("test.queue");
  std::atomic<int> runs{0};
  std::atomic<bool> raising{true};
  auto source = std::make_unique<SignalSource>(queue);
  source->setEventHandler([&] {
    std::this_thread::sleep_for(1ms);
    ++runs;
  });
  source->resume();
  std::thread raiser([&] {
    while (raising) {
      source->raise();
      std::this_thread::yield();
    }
  });
  std::this_thread::sleep_for(30ms);
  source->cancel();
  const int atCancel = runs.load();
  std::this_thread::sleep_for(30ms);
  raising = false;
  raiser.join();
  queue.sync([] {});
  EXPECT_EQ(runs.load(), atCancel);
  EXPECT_GE(atCancel, 1);
}

}  // namespace
}  // namespace sysaudio
