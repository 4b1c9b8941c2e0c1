// What the server's real-time thread runs for each buffer (the hand-over's take) never locks,
// allocates or makes a call that can wait, while the sink's queue reads the ring at the same
// time. This test binary interposes the C library's locks, allocator, blocking calls and futex
// waits, and counts the calls made by a thread while it is marked as being on that path.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <spa/buffer/buffer.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio_sink.h"
#include "platform/pipewire/capture_hand_over.h"
#include "platform/pipewire/capture_ports.h"
#include "platform/pipewire/pipewire_stream.h"

namespace {

thread_local bool onRealTimePath = false;

std::atomic<int> locks{0};
std::atomic<int> allocations{0};
std::atomic<int> blockingCalls{0};
std::atomic<int> futexWaits{0};
std::atomic<int> futexWakes{0};

void count(std::atomic<int>& counter) {
  if (onRealTimePath) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }
}

// The C library's own function, looked up on first use. No guarded static: the guard of a
// function-local static may itself wait on a futex, through syscall, interposed here.
template <typename Function>
Function real(std::atomic<void*>& cache, const char* name) {
  void* function = cache.load(std::memory_order_relaxed);
  if (function == nullptr) {
    function = dlsym(RTLD_NEXT, name);
    cache.store(function, std::memory_order_relaxed);
  }
  return reinterpret_cast<Function>(function);
}

}  // namespace

extern "C" {

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* memory);

void* malloc(size_t size) {
  count(allocations);
  return __libc_malloc(size);
}
void* calloc(size_t count_, size_t size) {
  count(allocations);
  return __libc_calloc(count_, size);
}
void* realloc(void* memory, size_t size) {
  count(allocations);
  return __libc_realloc(memory, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  count(allocations);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** memory, size_t alignment, size_t size) {
  count(allocations);
  *memory = __libc_memalign(alignment, size);
  return *memory != nullptr ? 0 : ENOMEM;
}
void free(void* memory) {
  count(allocations);
  __libc_free(memory);
}

#define SYSAUDIO_INTERPOSE(counter, result, name, parameters, arguments) \
  std::atomic<void*> name##Next{nullptr};                                \
  result name parameters {                                               \
    count(counter);                                                      \
    return real<result(*) parameters>(name##Next, #name) arguments;      \
  }

SYSAUDIO_INTERPOSE(locks, int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
SYSAUDIO_INTERPOSE(locks, int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
SYSAUDIO_INTERPOSE(locks, int, pthread_mutex_timedlock,
                   (pthread_mutex_t * m, const struct timespec* t), (m, t))
SYSAUDIO_INTERPOSE(locks, int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
SYSAUDIO_INTERPOSE(locks, int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
SYSAUDIO_INTERPOSE(locks, int, pthread_spin_lock, (pthread_spinlock_t * l), (l))
SYSAUDIO_INTERPOSE(locks, int, pthread_cond_signal, (pthread_cond_t * c), (c))
SYSAUDIO_INTERPOSE(locks, int, pthread_cond_broadcast, (pthread_cond_t * c), (c))
SYSAUDIO_INTERPOSE(blockingCalls, int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m),
                   (c, m))
SYSAUDIO_INTERPOSE(blockingCalls, int, pthread_cond_timedwait,
                   (pthread_cond_t * c, pthread_mutex_t* m, const struct timespec* t), (c, m, t))
SYSAUDIO_INTERPOSE(blockingCalls, int, sem_wait, (sem_t * s), (s))
SYSAUDIO_INTERPOSE(blockingCalls, ssize_t, write, (int fd, const void* data, size_t size),
                   (fd, data, size))
SYSAUDIO_INTERPOSE(blockingCalls, ssize_t, read, (int fd, void* data, size_t size),
                   (fd, data, size))
SYSAUDIO_INTERPOSE(blockingCalls, int, poll, (struct pollfd * fds, nfds_t n, int timeout),
                   (fds, n, timeout))
SYSAUDIO_INTERPOSE(blockingCalls, int, nanosleep, (const struct timespec* t, struct timespec* left),
                   (t, left))
SYSAUDIO_INTERPOSE(blockingCalls, int, clock_nanosleep,
                   (clockid_t clock, int flags, const struct timespec* t, struct timespec* left),
                   (clock, flags, t, left))
SYSAUDIO_INTERPOSE(blockingCalls, int, sched_yield, (), ())

// A futex wake is how the real-time side may wake the queue; any wait is not.
std::atomic<void*> syscallNext{nullptr};
long syscall(long number, ...) {
  const auto next = real<long (*)(long, ...)>(syscallNext, "syscall");
  va_list list;
  va_start(list, number);
  long arguments[6];
  for (long& argument : arguments) {
    argument = va_arg(list, long);
  }
  va_end(list);
  if (number == SYS_futex) {
    const long command = arguments[1] & FUTEX_CMD_MASK;
    count(command == FUTEX_WAKE || command == FUTEX_WAKE_BITSET ? futexWakes : futexWaits);
  } else {
    count(blockingCalls);
  }
  return next(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
              arguments[5]);
}

}  // extern "C"

namespace sysaudio {
namespace {

class IdleStream final : public Stream {
 public:
  bool addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                       std::optional<CaptureError>&) override {
    return true;
  }
  void startCapture(StartCompletion completion) override { completion(std::nullopt); }
};

class CountingOutput final : public StreamOutput {
 public:
  explicit CountingOutput(AudioSink& sink) : sink_(sink) {}
  void streamDidOutputSampleBuffer(Stream& stream, const SampleBuffer& buffer,
                                   StreamOutputType type) override {
    ++buffers;
    sink_.streamDidOutputSampleBuffer(stream, buffer, type);
  }
  std::atomic<int> buffers{0};

 private:
  AudioSink& sink_;
};

struct Counts {
  int locks;
  int allocations;
  int blockingCalls;
  int futexWaits;
  int futexWakes;
};

// Runs body count times on a thread of its own, marked as the real-time path, and returns the
// calls it made.
Counts onTheRealTimePath(int times, const std::function<void()>& body) {
  for (auto* counter : {&locks, &allocations, &blockingCalls, &futexWaits, &futexWakes}) {
    counter->store(0);
  }
  std::thread thread([&] {
    for (int i = 0; i < times; ++i) {
      onRealTimePath = true;
      body();
      onRealTimePath = false;
      // Room for the queue to fall asleep between buffers, as it does between graph cycles.
      if (i % 16 == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  });
  thread.join();
  return {locks.load(), allocations.load(), blockingCalls.load(), futexWaits.load(),
          futexWakes.load()};
}

class RealTimePathTest : public ::testing::Test {
 protected:
  RealTimePathTest() {
    std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~RealTimePathTest() override {
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }

  int saved = -1;
};

TEST_F(RealTimePathTest, TakingABufferNeverLocksAllocatesOrWaits) {
  const Settings settings;
  AudioSink sink(settings);
  IdleStream stream;
  CountingOutput output(sink);
  const std::unique_ptr<pipewire::CaptureHandOver> handOver =
      pipewire::makeCaptureHandOver(settings.sampleRate, stream, output, sink.queue);
  constexpr std::size_t channels = pipewire::captureInputCount;
  std::vector<float> samples(2048 * channels, 0.25f);
  spa_chunk chunk{0, 682 * channels * sizeof(float), channels * sizeof(float), 0};
  spa_data data{};
  data.type = SPA_DATA_MemPtr;
  data.maxsize = static_cast<std::uint32_t>(samples.size() * sizeof(float));
  data.data = samples.data();
  data.chunk = &chunk;
  spa_buffer buffer{};
  buffer.n_datas = 1;
  buffer.datas = &data;

  const Counts counts = onTheRealTimePath(3000, [&] { handOver->take(buffer); });
  sink.queue.sync([] {});

  EXPECT_EQ(counts.locks, 0) << "locks taken";
  EXPECT_EQ(counts.allocations, 0) << "allocations";
  EXPECT_EQ(counts.blockingCalls, 0) << "calls that can wait";
  EXPECT_EQ(counts.futexWaits, 0) << "futex waits";
  // The queue slept between buffers and was woken, so the wake-up path itself was measured.
  EXPECT_GT(counts.futexWakes, 0);
  EXPECT_GT(output.buffers.load(), 0);
}

// The counting itself: each kind of call is seen when made on the path.
struct ControlCase {
  const char* name;
  std::function<void()> body;
  int Counts::*counter;
};

void PrintTo(const ControlCase& control, std::ostream* out) {
  *out << control.name;
}

class RealTimePathControlTest : public ::testing::TestWithParam<ControlCase> {};

TEST_P(RealTimePathControlTest, TheCallIsCounted) {
  const Counts counts = onTheRealTimePath(3, GetParam().body);
  EXPECT_GE(counts.*GetParam().counter, 3);
}

std::mutex controlMutex;
std::condition_variable controlCondition;
SerialQueue& controlQueue() {
  static SerialQueue queue("test.control");
  return queue;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, RealTimePathControlTest,
    ::testing::Values(
        ControlCase{"Mutex", [] { std::lock_guard lock(controlMutex); }, &Counts::locks},
        ControlCase{"Notify", [] { controlCondition.notify_one(); }, &Counts::locks},
        ControlCase{"New", [] { auto p = std::make_unique<std::string>(100, 'x'); },
                    &Counts::allocations},
        ControlCase{"QueueAsync", [] { controlQueue().async([] {}); }, &Counts::locks},
        ControlCase{"Sleep", [] { std::this_thread::sleep_for(std::chrono::microseconds(1)); },
                    &Counts::blockingCalls},
        ControlCase{"FutexWait",
                    [] {
                      std::uint32_t word = 1;
                      syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
                    },
                    &Counts::futexWaits}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sysaudio
