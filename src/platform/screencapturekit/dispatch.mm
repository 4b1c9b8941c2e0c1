// The serial queue, its timers and the parked main thread on libdispatch.
#include "platform/dispatch.h"

#include <dispatch/dispatch.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/screencapturekit/libdispatch_queue.h"
#include "platform/screencapturekit/timer_phase.h"

namespace sysaudio {

namespace {

// Each queue keeps its own state under this key, so that work can tell which queue runs it.
char queueIdentityKey;

std::int64_t nanosecondsUntil(DispatchClock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - DispatchClock::now())
      .count();
}

std::uint64_t nanosecondsOf(DispatchClock::duration interval) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count(), 0));
}

}  // namespace

SerialQueue::SerialQueue(std::string label) : impl_(std::make_unique<Impl>()) {
  impl_->label = std::move(label);
  impl_->dispatchQueue = dispatch_queue_create(impl_->label.c_str(), DISPATCH_QUEUE_SERIAL);
  dispatch_queue_set_specific(impl_->dispatchQueue, &queueIdentityKey, impl_.get(), nullptr);
}

SerialQueue::~SerialQueue() {
  // The work already submitted runs first; libdispatch keeps the queue while any of it is left.
  if (!isCurrent()) {
    sync([] {});
  }
}

const std::string& SerialQueue::label() const {
  return impl_->label;
}

void SerialQueue::async(std::function<void()> work) {
  dispatch_async(impl_->dispatchQueue, ^{
    work();
  });
}

void SerialQueue::sync(const std::function<void()>& work) {
  const std::function<void()>* job = &work;
  dispatch_sync(impl_->dispatchQueue, ^{
    (*job)();
  });
}

bool SerialQueue::isCurrent() const {
  return dispatch_get_specific(&queueIdentityKey) == impl_.get();
}

// A dispatch timer source on the queue. The schedule is kept here as well, in the program's
// clock, so that skipping ticks can move the timer to a later tick of the same schedule.
struct TimerSource::Impl {
  explicit Impl(SerialQueue& queue)
      : queue(queue),
        source(
            dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue.impl().dispatchQueue)) {}

  // With mutex held.
  void startAt(DispatchClock::time_point tick) {
    nextTick = tick;
    dispatch_source_set_timer(source, dispatch_time(DISPATCH_TIME_NOW, nanosecondsUntil(tick)),
                              nanosecondsOf(interval), 0);
  }

  SerialQueue& queue;
  dispatch_source_t source;
  std::mutex mutex;
  // A tick of the schedule, and the time between two.
  DispatchClock::time_point nextTick;
  DispatchClock::duration interval{};
  bool resumed = false;
  bool cancelled = false;
};

TimerSource::TimerSource(SerialQueue& queue) : impl_(std::make_unique<Impl>(queue)) {}

TimerSource::~TimerSource() {
  cancel();
}

void TimerSource::schedule(DispatchClock::time_point firstDeadline,
                           DispatchClock::duration interval) {
  std::lock_guard lock(impl_->mutex);
  // A zero interval is taken as the shortest there is, as on the other platform.
  impl_->interval =
      interval > DispatchClock::duration::zero() ? interval : DispatchClock::duration(1);
  impl_->startAt(firstDeadline);
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  dispatch_source_set_event_handler(impl_->source, ^{
    handler();
  });
}

void TimerSource::resume() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->resumed || impl_->cancelled) {
    return;
  }
  impl_->resumed = true;
  dispatch_resume(impl_->source);
}

void TimerSource::cancel() {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->cancelled) {
      impl_->cancelled = true;
      dispatch_source_cancel(impl_->source);
      // libdispatch must not let go of a source that was never started; cancelled first, it
      // starts only to end.
      if (!impl_->resumed) {
        impl_->resumed = true;
        dispatch_resume(impl_->source);
      }
    }
  }
  // The handler runs on the queue: once the queue has run this, it is not running and, being
  // cancelled, never runs again.
  if (!impl_->queue.isCurrent()) {
    impl_->queue.sync([] {});
  }
}

void TimerSource::deferUntil(DispatchClock::time_point earliest) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->cancelled) {
    return;
  }
  const DispatchClock::time_point comingTick =
      screencapturekit::firstTickAtOrAfter(impl_->nextTick, impl_->interval, DispatchClock::now());
  if (comingTick >= earliest) {
    return;
  }
  impl_->startAt(screencapturekit::firstTickAtOrAfter(impl_->nextTick, impl_->interval, earliest));
}

// A data source that ORs what is merged into it: raises before the handler runs merge into one
// run, and merging is what libdispatch offers any thread without a lock or an allocation.
struct SignalSource::Impl {
  explicit Impl(SerialQueue& queue)
      : queue(queue),
        source(dispatch_source_create(DISPATCH_SOURCE_TYPE_DATA_OR, 0, 0,
                                      queue.impl().dispatchQueue)) {}

  SerialQueue& queue;
  dispatch_source_t source;
  std::mutex mutex;
  bool resumed = false;
  bool cancelled = false;
};

SignalSource::SignalSource(SerialQueue& queue) : impl_(std::make_unique<Impl>(queue)) {}

SignalSource::~SignalSource() {
  cancel();
}

void SignalSource::setEventHandler(std::function<void()> handler) {
  dispatch_source_set_event_handler(impl_->source, ^{
    handler();
  });
}

void SignalSource::resume() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->resumed || impl_->cancelled) {
    return;
  }
  impl_->resumed = true;
  dispatch_resume(impl_->source);
}

void SignalSource::raise() {
  dispatch_source_merge_data(impl_->source, 1);
}

void SignalSource::cancel() {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->cancelled) {
      impl_->cancelled = true;
      dispatch_source_cancel(impl_->source);
      // As with the timer: a source never started must start to end.
      if (!impl_->resumed) {
        impl_->resumed = true;
        dispatch_resume(impl_->source);
      }
    }
  }
  if (!impl_->queue.isCurrent()) {
    impl_->queue.sync([] {});
  }
}

void parkMainThreadForever() {
  dispatch_main();
}

}  // namespace sysaudio
