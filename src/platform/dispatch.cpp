#include "platform/dispatch.h"

#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace sysaudio {

namespace {

// Room for every buffer the capture can have in flight, so that a real-time thread handing work
// over never has to grow the ring.
constexpr std::size_t initialRingSize = 256;

}  // namespace

struct TimerState {
  DispatchClock::time_point deadline = DispatchClock::time_point::max();
  DispatchClock::duration interval{};
  std::function<void()> handler;
  bool resumed = false;
  bool cancelled = false;
  bool running = false;
  std::condition_variable idle;
};

// The queue's own worker thread, which runs the submitted work and the timers bound to it.
struct SerialQueue::Impl {
  explicit Impl(std::string label);
  // Runs the work already submitted, then stops the worker.
  ~Impl();

  void async(std::function<void()> work);
  bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

  void run();
  bool popWork(std::function<void()>& work);  // with mutex_ held
  void fireDueTimers(std::unique_lock<std::mutex>& lock);
  DispatchClock::time_point nextDeadline() const;
  void addTimer(const std::shared_ptr<TimerState>& timer);
  void removeTimer(const std::shared_ptr<TimerState>& timer);

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  // A ring of pending work that grows when full and never shrinks, so a steady stream of
  // submissions allocates nothing once it has reached its working size.
  std::vector<std::function<void()>> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::vector<std::shared_ptr<TimerState>> timers_;
  bool stopping_ = false;
  std::thread worker_;
};

struct TimerSource::Impl {
  SerialQueue& queue_;
  std::shared_ptr<TimerState> state_;
};

SerialQueue::SerialQueue(std::string label) : impl_(std::make_unique<Impl>(std::move(label))) {}

SerialQueue::~SerialQueue() = default;

const std::string& SerialQueue::label() const {
  return impl_->label_;
}

void SerialQueue::async(std::function<void()> work) {
  impl_->async(std::move(work));
}

bool SerialQueue::isCurrent() const {
  return impl_->isCurrent();
}

SerialQueue::Impl::Impl(std::string label)
    : label_(std::move(label)), ring_(initialRingSize), worker_([this] { run(); }) {}

SerialQueue::Impl::~Impl() {
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

void SerialQueue::Impl::async(std::function<void()> work) {
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

void SerialQueue::Impl::run() {
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

bool SerialQueue::Impl::popWork(std::function<void()>& work) {
  if (count_ == 0) {
    return false;
  }
  work = std::move(ring_[head_]);
  ring_[head_] = nullptr;
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return true;
}

void SerialQueue::Impl::fireDueTimers(std::unique_lock<std::mutex>& lock) {
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

DispatchClock::time_point SerialQueue::Impl::nextDeadline() const {
  auto earliest = DispatchClock::time_point::max();
  for (const auto& timer : timers_) {
    if (timer->resumed && !timer->cancelled && timer->handler && timer->deadline < earliest) {
      earliest = timer->deadline;
    }
  }
  return earliest;
}

void SerialQueue::Impl::addTimer(const std::shared_ptr<TimerState>& timer) {
  std::lock_guard lock(mutex_);
  timers_.push_back(timer);
}

void SerialQueue::Impl::removeTimer(const std::shared_ptr<TimerState>& timer) {
  std::unique_lock lock(mutex_);
  timer->cancelled = true;
  std::erase(timers_, timer);
  if (isCurrent()) {
    return;
  }
  timer->idle.wait(lock, [&timer] { return !timer->running; });
}

TimerSource::TimerSource(SerialQueue& queue)
    : impl_(std::make_unique<Impl>(Impl{queue, std::make_shared<TimerState>()})) {
  impl_->queue_.impl().addTimer(impl_->state_);
}

TimerSource::~TimerSource() {
  cancel();
}

void TimerSource::cancel() {
  impl_->queue_.impl().removeTimer(impl_->state_);
}

void TimerSource::schedule(DispatchClock::time_point firstDeadline,
                           DispatchClock::duration interval) {
  SerialQueue::Impl& queue = impl_->queue_.impl();
  TimerState& state = *impl_->state_;
  {
    std::lock_guard lock(queue.mutex_);
    state.deadline = firstDeadline;
    // A zero interval would make every pass of the worker a tick.
    state.interval =
        interval > DispatchClock::duration::zero() ? interval : DispatchClock::duration(1);
  }
  queue.wake_.notify_all();
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  std::lock_guard lock(impl_->queue_.impl().mutex_);
  impl_->state_->handler = std::move(handler);
}

void TimerSource::resume() {
  SerialQueue::Impl& queue = impl_->queue_.impl();
  {
    std::lock_guard lock(queue.mutex_);
    impl_->state_->resumed = true;
  }
  queue.wake_.notify_all();
}

void TimerSource::deferUntil(DispatchClock::time_point earliest) {
  std::lock_guard lock(impl_->queue_.impl().mutex_);
  TimerState& state = *impl_->state_;
  if (state.deadline >= earliest) {
    return;
  }
  const auto behind = earliest - state.deadline;
  state.deadline +=
      (behind + state.interval - DispatchClock::duration(1)) / state.interval * state.interval;
}

void parkMainThreadForever() {
  for (;;) {
    pause();
  }
}

}  // namespace sysaudio
