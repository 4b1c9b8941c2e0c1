#include "platform/dispatch.h"

#include <unistd.h>

#include <future>
#include <utility>

namespace sysaudio {

namespace {

// Room for every buffer the capture can have in flight, so that a real-time thread handing work
// over never has to grow the ring.
constexpr std::size_t initialRingSize = 256;

}  // namespace

struct SerialQueue::TimerState {
  DispatchClock::time_point deadline = DispatchClock::time_point::max();
  DispatchClock::duration interval{};
  std::function<void()> handler;
  bool resumed = false;
  bool cancelled = false;
  bool running = false;
  std::condition_variable idle;
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), ring_(initialRingSize), worker_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (isCurrent()) {
    worker_.detach();
    return;
  }
  worker_.join();
}

void SerialQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (count_ == ring_.size()) {
      std::vector<std::function<void()>> larger(ring_.size() * 2);
      for (std::size_t i = 0; i < count_; ++i) {
        larger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
      }
      ring_ = std::move(larger);
      head_ = 0;
    }
    ring_[(head_ + count_) % ring_.size()] = std::move(work);
    ++count_;
  }
  wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
  std::promise<void> done;
  async([&work, &done] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  std::function<void()> work;
  for (;;) {
    fireDueTimers(lock);
    if (popWork(work)) {
      lock.unlock();
      work();
      // Whatever the work captured is released off the lock, as the work itself ran.
      work = nullptr;
      lock.lock();
      continue;
    }
    if (stopping_) {
      return;
    }
    const auto deadline = nextDeadline();
    if (deadline == DispatchClock::time_point::max()) {
      wake_.wait(lock);
    } else {
      wake_.wait_until(lock, deadline);
    }
  }
}

bool SerialQueue::popWork(std::function<void()>& work) {
  if (count_ == 0) {
    return false;
  }
  work = std::move(ring_[head_]);
  ring_[head_] = nullptr;
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return true;
}

void SerialQueue::fireDueTimers(std::unique_lock<std::mutex>& lock) {
  if (stopping_) {
    return;
  }
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    const std::shared_ptr<TimerState> timer = timers_[i];
    const auto now = DispatchClock::now();
    if (!timer->resumed || timer->cancelled || !timer->handler || timer->deadline > now) {
      continue;
    }
    // Ticks missed while the queue was busy fold into this one; the schedule keeps its phase.
    const auto missed = (now - timer->deadline) / timer->interval;
    timer->deadline += (missed + 1) * timer->interval;
    timer->running = true;
    lock.unlock();
    timer->handler();
    lock.lock();
    timer->running = false;
    timer->idle.notify_all();
  }
}

DispatchClock::time_point SerialQueue::nextDeadline() const {
  auto earliest = DispatchClock::time_point::max();
  for (const auto& timer : timers_) {
    if (timer->resumed && !timer->cancelled && timer->handler && timer->deadline < earliest) {
      earliest = timer->deadline;
    }
  }
  return earliest;
}

void SerialQueue::addTimer(const std::shared_ptr<TimerState>& timer) {
  std::lock_guard lock(mutex_);
  timers_.push_back(timer);
}

void SerialQueue::removeTimer(const std::shared_ptr<TimerState>& timer) {
  std::unique_lock lock(mutex_);
  timer->cancelled = true;
  std::erase(timers_, timer);
  if (isCurrent()) {
    return;
  }
  timer->idle.wait(lock, [&timer] { return !timer->running; });
}

TimerSource::TimerSource(SerialQueue& queue)
    : queue_(queue), state_(std::make_shared<SerialQueue::TimerState>()) {
  queue_.addTimer(state_);
}

TimerSource::~TimerSource() {
  cancel();
}

void TimerSource::cancel() {
  queue_.removeTimer(state_);
}

void TimerSource::schedule(DispatchClock::time_point firstDeadline,
                           DispatchClock::duration interval) {
  {
    std::lock_guard lock(queue_.mutex_);
    state_->deadline = firstDeadline;
    // A zero interval would make every pass of the worker a tick.
    state_->interval =
        interval > DispatchClock::duration::zero() ? interval : DispatchClock::duration(1);
  }
  queue_.wake_.notify_all();
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  std::lock_guard lock(queue_.mutex_);
  state_->handler = std::move(handler);
}

void TimerSource::resume() {
  {
    std::lock_guard lock(queue_.mutex_);
    state_->resumed = true;
  }
  queue_.wake_.notify_all();
}

void TimerSource::deferUntil(DispatchClock::time_point earliest) {
  std::lock_guard lock(queue_.mutex_);
  if (state_->deadline >= earliest) {
    return;
  }
  const auto behind = earliest - state_->deadline;
  state_->deadline += (behind + state_->interval - DispatchClock::duration(1)) / state_->interval *
                      state_->interval;
}

void parkMainThreadForever() {
  for (;;) {
    pause();
  }
}

}  // namespace sysaudio
