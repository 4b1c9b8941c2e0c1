#include "platform/pipewire/pipewire_stream.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace sysaudio::pipewire {
namespace {

class IgnoringDelegate final : public StreamDelegate {
 public:
  void streamDidStopWithError(Stream&, const CaptureError&) override {}
};

// A rate is refused before anything reaches the server: with no server at all, a refused rate
// says so, and an accepted one gets as far as finding no connection.
struct RateCase {
  std::int64_t rate;
  bool accepted;
};

// Without it, test listings show the case's raw bytes, uninitialised padding included, so its
// name in ctest changes from one build to the next.
void PrintTo(const RateCase& rateCase, std::ostream* out) {
  *out << rateCase.rate << (rateCase.accepted ? " accepted" : " refused");
}

class PipeWireStreamRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(PipeWireStreamRateTest, RatesOutsideTheServedRangeAreRefusedAtStart) {
  const auto [rate, accepted] = GetParam();
  IgnoringDelegate delegate;
  PipeWireStream stream(nullptr, ContentFilter{}, CaptureSettings{true, true, rate}, delegate);
  std::optional<CaptureError> result;
  bool completed = false;
  stream.startCapture([&](std::optional<CaptureError> error) {
    completed = true;
    result = std::move(error);
  });
  ASSERT_TRUE(completed);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->domain, "PipeWire");
  EXPECT_EQ(result->localizedDescription, accepted
                                              ? "not connected to the PipeWire server"
                                              : "cannot capture at " + std::to_string(rate) +
                                                    " Hz: the rate must be from 8000 to 192000 Hz");
}

INSTANTIATE_TEST_SUITE_P(
    Rates, PipeWireStreamRateTest,
    ::testing::Values(RateCase{-16000, false}, RateCase{0, false}, RateCase{1, false},
                      RateCase{7999, false}, RateCase{8000, true}, RateCase{16000, true},
                      RateCase{192000, true}, RateCase{192001, false}, RateCase{2147483647, false}),
    [](const auto& info) {
      const std::int64_t rate = info.param.rate;
      return (rate < 0 ? "Minus" : "") + std::to_string(rate < 0 ? -rate : rate);
    });

}  // namespace
}  // namespace sysaudio::pipewire
