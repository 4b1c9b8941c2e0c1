#include "platform/screencapturekit/completion_once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sysaudio::screencapturekit {
namespace {

using Results = std::vector<std::string>;
using Once = CompletionOnce<std::optional<std::string>>;

// The results a completion received, in order.
std::shared_ptr<Once> makeOnce(Results& received) {
  return std::make_shared<Once>(
      [&received](std::optional<std::string> result) {
        received.push_back(result.value_or("(none)"));
      },
      std::make_tuple(std::optional<std::string>("dropped")));
}

TEST(CompletionOnceTest, HandsOnExactlyOneResultWhateverTheServiceDoes) {
  struct Case {
    const char* name;
    std::vector<std::optional<std::string>> calls;
    Results expected;
  };
  const std::vector<Case> cases = {
      {"called once", {"content"}, {"content"}},
      {"called with nothing", {std::nullopt}, {"(none)"}},
      {"called twice: the first result counts", {"first", "second"}, {"first"}},
      {"let go of without a call: the fallback", {}, {"dropped"}},
  };
  for (const Case& c : cases) {
    Results received;
    {
      const std::shared_ptr<Once> once = makeOnce(received);
      for (const auto& call : c.calls) {
        (*once)(call);
      }
      // The fallback waits for the service to let go; a result that came goes through at once.
      EXPECT_EQ(received, c.calls.empty() ? Results{} : c.expected) << c.name << ", held";
    }
    EXPECT_EQ(received, c.expected) << c.name;
  }
}

// The service may call on any thread; two calls that race still give one result.
TEST(CompletionOnceTest, CallsRacingOnSeveralThreadsGiveOneResult) {
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> deliveries{0};
    auto once =
        std::make_shared<CompletionOnce<int>>([&](int) { ++deliveries; }, std::make_tuple(-1));
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
      callers.emplace_back([once, i] { (*once)(i); });
    }
    once.reset();
    for (std::thread& caller : callers) {
      caller.join();
    }
    ASSERT_EQ(deliveries.load(), 1) << "round " << round;
  }
}

}  // namespace
}  // namespace sysaudio::screencapturekit
