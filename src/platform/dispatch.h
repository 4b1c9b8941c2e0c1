// The scheduling facilities the program runs on: one serial queue that runs every sample
// callback and every silence tick, repeating timer sources bound to a queue, and a call that
// parks the main thread for good.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sysaudio {

using DispatchClock = std::chrono::steady_clock;

// A source of the current time. The program's own is DispatchClock::now; tests pass their own.
using Clock = std::function<DispatchClock::time_point()>;

class TimerSource;
class SignalSource;

// Runs submitted work one item at a time, in the order submitted, on a worker thread of its
// own. Timers bound to the queue fire on the same thread, so nothing that runs here ever
// overlaps anything else that runs here.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;
  // Runs the work already submitted, then stops the worker.
  ~SerialQueue();

  const std::string& label() const;

  void async(std::function<void()> work);
  // Runs work on the queue and waits for it; never call it from the queue itself.
  void sync(const std::function<void()>& work);
  bool isCurrent() const;

  // The state of the platform's implementation, which defines it; platform code that hands the
  // queue itself to a system service reaches it here.
  struct Impl;
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// A repeating timer whose handler runs on its queue. Like a dispatch timer source it starts
// suspended, fires first at its deadline and then once per interval, and never queues a second
// event while one is pending: ticks that the queue was too busy to run merge into one.
class TimerSource {
 public:
  explicit TimerSource(SerialQueue& queue);
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;
  // Cancels the timer.
  ~TimerSource();

  void schedule(DispatchClock::time_point firstDeadline, DispatchClock::duration interval);
  // Set before resume: the handler is not swapped while the timer runs.
  void setEventHandler(std::function<void()> handler);
  void resume();
  // Stops the timer for good; once it returns, the handler is not running and never runs again
  // (unless it is the handler itself that cancels). Cancelling twice is harmless.
  void cancel();
  // Skips the ticks before earliest, keeping the schedule's phase: for a handler that knows it
  // has nothing to do until then, so that the queue's thread need not wake for it.
  void deferUntil(DispatchClock::time_point earliest);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A source of events that any thread may raise, a real-time one included: raising never locks,
// allocates or waits. Like a dispatch data source it starts suspended, and the raises that come
// before its handler runs merge into one run of the handler on its queue; a raise while the
// handler runs makes it run once more afterwards.
class SignalSource {
 public:
  explicit SignalSource(SerialQueue& queue);
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;
  // Cancels the source.
  ~SignalSource();

  // Set before resume: the handler is not swapped while the source runs.
  void setEventHandler(std::function<void()> handler);
  void resume();
  void raise();
  // Stops the source for good; once it returns, the handler is not running and never runs again
  // (unless it is the handler itself that cancels). Cancelling twice is harmless.
  void cancel();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Parks the calling thread for good while the other threads go on; the process ends only
// through exit or a signal.
[[noreturn]] void parkMainThreadForever();

}  // namespace sysaudio
