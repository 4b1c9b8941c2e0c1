#include "platform/dispatch.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace sysaudio {

namespace {

// Pending work is rare and short: the capture hands audio over through a signal source, not
// through work items.
constexpr std::size_t initialRingSize = 16;

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the wake count is used as a futex word");

std::uint32_t* futexWord(std::atomic<std::uint32_t>& word) {
  return reinterpret_cast<std::uint32_t*>(&word);
}

// Sleeps while word still holds seen, until woken or until deadline (steady_clock runs on
// CLOCK_MONOTONIC, the clock of a bitset wait).
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t seen,
               DispatchClock::time_point deadline) {
  timespec until{};
  const timespec* timeout = nullptr;
  if (deadline != DispatchClock::time_point::max()) {
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    timeout = &until;
  }
  syscall(SYS_futex, futexWord(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, seen, timeout,
          nullptr, FUTEX_BITSET_MATCH_ANY);
}

void futexWakeOne(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

struct TimerState {
  DispatchClock::time_point deadline = DispatchClock::time_point::max();
  DispatchClock::duration interval{};
  std::function<void()> handler;
  bool resumed = false;
  bool cancelled = false;
  bool running = false;
  std::condition_variable idle;
};

struct SignalState {
  // Raised by any thread without the queue's mutex; everything else is guarded by it.
  std::atomic<bool> raised{false};
  std::function<void()> handler;
  bool resumed = false;
  bool cancelled = false;
  bool running = false;
  std::condition_variable idle;
};

}  // namespace

// The queue's own worker thread, which runs the submitted work and the timers and signal
// sources bound to it.
struct SerialQueue::Impl {
  explicit Impl(std::string label);
  // Runs the work already submitted, then stops the worker.
  ~Impl();

  void async(std::function<void()> work);
  bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }
  void wake();

  void run();
  bool popWork(std::function<void()>& work);  // with mutex_ held
  void fireDueTimers(std::unique_lock<std::mutex>& lock);
  void runRaisedSignals(std::unique_lock<std::mutex>& lock);
  bool signalRaised() const;  // with mutex_ held
  void sleepUntil(std::unique_lock<std::mutex>& lock, DispatchClock::time_point deadline);
  DispatchClock::time_point nextDeadline() const;
  void addTimer(const std::shared_ptr<TimerState>& timer);
  void removeTimer(const std::shared_ptr<TimerState>& timer);
  void addSignal(const std::shared_ptr<SignalState>& signal);
  void removeSignal(const std::shared_ptr<SignalState>& signal);

  std::string label_;
  std::mutex mutex_;
  // The worker sleeps on this count and every request to wake it bumps it, so that a thread
  // that must not lock can wake it without mutex_.
  std::atomic<std::uint32_t> wakeCount_{0};
  std::atomic<bool> sleeping_{false};
  // A ring of pending work that grows when full and never shrinks, so a steady stream of
  // submissions allocates nothing once it has reached its working size.
  std::vector<std::function<void()>> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::vector<std::shared_ptr<TimerState>> timers_;
  std::vector<std::shared_ptr<SignalState>> signals_;
  bool stopping_ = false;
  std::thread worker_;
};

struct TimerSource::Impl {
  SerialQueue::Impl& queue;
  std::shared_ptr<TimerState> state;
};

struct SignalSource::Impl {
  SerialQueue::Impl& queue;
  std::shared_ptr<SignalState> state;
};

SerialQueue::SerialQueue(std::string label) : impl_(std::make_unique<Impl>(std::move(label))) {}

SerialQueue::~SerialQueue() = default;

const std::string& SerialQueue::label() const {
  return impl_->label_;
}

void SerialQueue::async(std::function<void()> work) {
  impl_->async(std::move(work));
}

void SerialQueue::sync(const std::function<void()>& work) {
  std::promise<void> done;
  async([&work, &done] {
    work();
    done.set_value();
  });
  done.get_future().wait();
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
  wake();
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
  wake();
}

void SerialQueue::Impl::run() {
  std::unique_lock lock(mutex_);
  std::function<void()> work;
  for (;;) {
    fireDueTimers(lock);
    runRaisedSignals(lock);
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
    sleepUntil(lock, nextDeadline());
  }
}

// Whoever wakes the worker bumps the count first and then looks whether it sleeps; the worker
// says it sleeps first and then reads the count it will sleep on. So either the waker sees it
// sleeping and wakes it, or the worker sees the new count (and what was raised before it) and
// does not sleep.
void SerialQueue::Impl::sleepUntil(std::unique_lock<std::mutex>& lock,
                                   DispatchClock::time_point deadline) {
  sleeping_.store(true);
  const std::uint32_t seen = wakeCount_.load();
  if (signalRaised()) {
    sleeping_.store(false);
    return;
  }
  lock.unlock();
  futexWait(wakeCount_, seen, deadline);
  sleeping_.store(false);
  lock.lock();
}

void SerialQueue::Impl::wake() {
  wakeCount_.fetch_add(1);
  if (sleeping_.load()) {
    futexWakeOne(wakeCount_);
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

void SerialQueue::Impl::runRaisedSignals(std::unique_lock<std::mutex>& lock) {
  if (stopping_) {
    return;
  }
  for (std::size_t i = 0; i < signals_.size(); ++i) {
    const std::shared_ptr<SignalState> signal = signals_[i];
    if (!signal->resumed || signal->cancelled || !signal->handler) {
      continue;
    }
    // Cleared before the handler runs, so that a raise while it runs brings it back.
    if (!signal->raised.exchange(false, std::memory_order_acq_rel)) {
      continue;
    }
    signal->running = true;
    lock.unlock();
    signal->handler();
    lock.lock();
    signal->running = false;
    signal->idle.notify_all();
  }
}

bool SerialQueue::Impl::signalRaised() const {
  for (const auto& signal : signals_) {
    if (signal->resumed && !signal->cancelled && signal->handler && signal->raised.load()) {
      return true;
    }
  }
  return false;
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

void SerialQueue::Impl::addSignal(const std::shared_ptr<SignalState>& signal) {
  std::lock_guard lock(mutex_);
  signals_.push_back(signal);
}

void SerialQueue::Impl::removeSignal(const std::shared_ptr<SignalState>& signal) {
  std::unique_lock lock(mutex_);
  signal->cancelled = true;
  std::erase(signals_, signal);
  if (isCurrent()) {
    return;
  }
  signal->idle.wait(lock, [&signal] { return !signal->running; });
}

TimerSource::TimerSource(SerialQueue& queue)
    : impl_(std::make_unique<Impl>(Impl{queue.impl(), std::make_shared<TimerState>()})) {
  impl_->queue.addTimer(impl_->state);
}

TimerSource::~TimerSource() {
  cancel();
}

void TimerSource::cancel() {
  impl_->queue.removeTimer(impl_->state);
}

void TimerSource::schedule(DispatchClock::time_point firstDeadline,
                           DispatchClock::duration interval) {
  TimerState& state = *impl_->state;
  {
    std::lock_guard lock(impl_->queue.mutex_);
    state.deadline = firstDeadline;
    // A zero interval would make every pass of the worker a tick.
    state.interval =
        interval > DispatchClock::duration::zero() ? interval : DispatchClock::duration(1);
  }
  impl_->queue.wake();
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  std::lock_guard lock(impl_->queue.mutex_);
  impl_->state->handler = std::move(handler);
}

void TimerSource::resume() {
  {
    std::lock_guard lock(impl_->queue.mutex_);
    impl_->state->resumed = true;
  }
  impl_->queue.wake();
}

void TimerSource::deferUntil(DispatchClock::time_point earliest) {
  std::lock_guard lock(impl_->queue.mutex_);
  TimerState& state = *impl_->state;
  if (state.deadline >= earliest) {
    return;
  }
  const auto behind = earliest - state.deadline;
  state.deadline +=
      (behind + state.interval - DispatchClock::duration(1)) / state.interval * state.interval;
}

SignalSource::SignalSource(SerialQueue& queue)
    : impl_(std::make_unique<Impl>(Impl{queue.impl(), std::make_shared<SignalState>()})) {
  impl_->queue.addSignal(impl_->state);
}

SignalSource::~SignalSource() {
  cancel();
}

void SignalSource::setEventHandler(std::function<void()> handler) {
  std::lock_guard lock(impl_->queue.mutex_);
  impl_->state->handler = std::move(handler);
}

void SignalSource::resume() {
  {
    std::lock_guard lock(impl_->queue.mutex_);
    impl_->state->resumed = true;
  }
  impl_->queue.wake();
}

// An atomic exchange, and a futex wake only when the worker sleeps: nothing here can wait.
void SignalSource::raise() {
  if (!impl_->state->raised.exchange(true, std::memory_order_acq_rel)) {
    impl_->queue.wake();
  }
}

void SignalSource::cancel() {
  impl_->queue.removeSignal(impl_->state);
}

void parkMainThreadForever() {
  for (;;) {
    pause();
  }
}

}  // namespace sysaudio
