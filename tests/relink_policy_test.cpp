#include "platform/pipewire/relink_policy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace sysaudio::pipewire {
namespace {

using namespace std::chrono_literals;
using TimePoint = RelinkPolicy::TimePoint;

const PortPair link{200, 100};
const PortPair other{201, 101};
const TimePoint start{std::chrono::hours(1)};

// A link removed as soon as it is made, again and again: how long each new attempt waits.
TEST(RelinkPolicyTest, QuickLossesAreAnsweredAtOnceAndThenEverMoreSlowly) {
  RelinkPolicy policy;
  TimePoint now = start;
  std::vector<std::chrono::milliseconds> waits;
  for (int attempt = 0; attempt < 10; ++attempt) {
    policy.made(link, now);
    now += 1ms;
    policy.lost(link, now);
    const std::optional<TimePoint> retry = policy.nextRetry(now);
    const auto wait =
        retry ? std::chrono::duration_cast<std::chrono::milliseconds>(*retry - now) : 0ms;
    waits.push_back(wait);
    EXPECT_EQ(policy.mayLink(link, now), wait == 0ms) << "attempt " << attempt;
    if (retry) {
      EXPECT_FALSE(policy.mayLink(link, *retry - 1ms)) << "attempt " << attempt;
      EXPECT_TRUE(policy.mayLink(link, *retry)) << "attempt " << attempt;
      now = *retry;
    }
    // Other links are not held back by this one.
    EXPECT_TRUE(policy.mayLink(other, now));
  }
  const std::vector<std::chrono::milliseconds> expected = {0ms,   0ms,    100ms,  200ms,  400ms,
                                                           800ms, 1600ms, 3200ms, 5000ms, 5000ms};
  EXPECT_EQ(waits, expected);
}

TEST(RelinkPolicyTest, ALinkThatStoodAWhileStartsAfresh) {
  RelinkPolicy policy;
  TimePoint now = start;
  for (int attempt = 0; attempt < 5; ++attempt) {
    policy.made(link, now);
    policy.lost(link, now);
    now = policy.nextRetry(now).value_or(now);
  }
  ASSERT_TRUE(policy.nextRetry(now - 1ms).has_value()) << "the quick losses were not held back";
  policy.made(link, now);
  now += RelinkPolicy::settledLifetime;
  policy.lost(link, now);
  EXPECT_TRUE(policy.mayLink(link, now));
  EXPECT_FALSE(policy.nextRetry(now).has_value());
}

TEST(RelinkPolicyTest, AForgottenLinkIsNoLongerHeldBack) {
  RelinkPolicy policy;
  TimePoint now = start;
  for (int attempt = 0; attempt < 4; ++attempt) {
    policy.made(link, now);
    policy.lost(link, now);
  }
  ASSERT_FALSE(policy.mayLink(link, now));
  policy.forget(link);
  EXPECT_TRUE(policy.mayLink(link, now));
  EXPECT_FALSE(policy.nextRetry(now).has_value());
  // And its next losses count from the start.
  policy.made(link, now);
  policy.lost(link, now);
  EXPECT_TRUE(policy.mayLink(link, now));
}

TEST(RelinkPolicyTest, TheNextRetryIsTheEarliestOfTheLinksHeldBack) {
  RelinkPolicy policy;
  for (int attempt = 0; attempt < 4; ++attempt) {
    policy.made(link, start);
    policy.lost(link, start);
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    policy.made(other, start);
    policy.lost(other, start);
  }
  EXPECT_EQ(policy.nextRetry(start), start + 100ms);
  EXPECT_EQ(policy.nextRetry(start + 100ms), start + 200ms);
  EXPECT_FALSE(policy.nextRetry(start + 200ms).has_value());
}

}  // namespace
}  // namespace sysaudio::pipewire
