#include "platform/pipewire/capture_ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sysaudio::pipewire {
namespace {

TEST(CapturePortsTest, EachPositionFeedsItsSideAndTheRestFeedBoth) {
  using Ports = std::vector<std::string_view>;
  const Ports left{"FL"};
  const Ports right{"FR"};
  const Ports both{"FL", "FR"};
  const std::vector<std::pair<std::string, Ports>> cases = {
      {"FL", left},   {"FR", right},   {"RL", left},    {"RR", right}, {"SL", left},
      {"SR", right},  {"FLC", left},   {"FRC", right},  {"TFL", left}, {"TRR", right},
      {"MONO", both}, {"FC", both},    {"LFE", both},   {"RC", both},  {"TRC", both},
      {"AUX0", left}, {"AUX1", right}, {"AUX10", left}, {"AUX", both}, {"AUXx", both},
      {"", both},     {"UNK", both},
  };
  for (const auto& [channel, expected] : cases) {
    EXPECT_EQ(capturePortsFor(channel), expected) << channel;
  }
}

}  // namespace
}  // namespace sysaudio::pipewire
