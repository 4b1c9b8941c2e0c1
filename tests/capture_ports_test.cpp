#include "platform/pipewire/capture_ports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sysaudio::pipewire {
namespace {

using Inputs = std::vector<CaptureInput>;
using Positions = std::vector<std::string>;

constexpr CaptureInput frontLeft = CaptureInput::frontLeft;
constexpr CaptureInput frontRight = CaptureInput::frontRight;
constexpr CaptureInput centre = CaptureInput::centre;
constexpr CaptureInput lowFrequency = CaptureInput::lowFrequency;
constexpr CaptureInput surroundLeft = CaptureInput::surroundLeft;
constexpr CaptureInput surroundRight = CaptureInput::surroundRight;

// When the source's channels are unknown, each port feeds the input of its own position.
TEST(CapturePortsTest, AnUnknownSourceFeedsEachPortByItsPosition) {
  const Inputs both{frontLeft, frontRight};
  const std::vector<std::pair<std::string, Inputs>> cases = {
      {"FL", {frontLeft}},
      {"FR", {frontRight}},
      {"FC", {centre}},
      {"LFE", {lowFrequency}},
      {"LFE2", {lowFrequency}},
      {"RL", {surroundLeft}},
      {"RR", {surroundRight}},
      {"SL", {surroundLeft}},
      {"SR", {surroundRight}},
      {"FLC", {surroundLeft}},
      {"FRC", {surroundRight}},
      {"TFL", {surroundLeft}},
      {"TRR", {surroundRight}},
      {"LLFE", {lowFrequency}},
      {"RLFE", {lowFrequency}},
      {"RC", {centre}},
      {"TRC", {centre}},
      {"MONO", both},
      {"AUX0", {frontLeft}},
      {"AUX1", {frontRight}},
      {"AUX10", {frontLeft}},
      {"AUX", both},
      {"AUXx", both},
      {"", both},
      {"UNK", both},
  };
  for (const auto& [channel, expected] : cases) {
    const Positions ports{channel};
    EXPECT_EQ(captureInputsFor({}, ports), std::vector<Inputs>{expected}) << channel;
  }
}

// A stream's ports follow its device; only those carrying the source's own channels are taken.
TEST(CapturePortsTest, OnlyPortsOfTheSourcesOwnChannelsFeedTheCapture) {
  const Positions mono{"MONO"};
  const Positions stereo{"FL", "FR"};
  const Positions surround51{"FL", "FR", "FC", "LFE", "RL", "RR"};
  const Positions surround71{"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"};
  struct Case {
    const char* name;
    Positions source;
    Positions ports;
    std::vector<Inputs> expected;
  };
  const std::vector<Case> cases = {
      {"mono on mono", mono, mono, {{frontLeft, frontRight}}},
      {"mono on stereo", mono, stereo, {{frontLeft}, {frontRight}}},
      {"mono on 5.1", mono, surround51, {{frontLeft}, {frontRight}, {}, {}, {}, {}}},
      {"stereo on mono", stereo, mono, {{centre}}},
      {"stereo on stereo", stereo, stereo, {{frontLeft}, {frontRight}}},
      {"stereo on 5.1", stereo, surround51, {{frontLeft}, {frontRight}, {}, {}, {}, {}}},
      {"stereo on 7.1", stereo, surround71, {{frontLeft}, {frontRight}, {}, {}, {}, {}, {}, {}}},
      {"5.1 on mono", surround51, mono, {{centre}}},
      {"5.1 on stereo", surround51, stereo, {{frontLeft}, {frontRight}}},
      {"5.1 on 5.1",
       surround51,
       surround51,
       {{frontLeft}, {frontRight}, {centre}, {lowFrequency}, {surroundLeft}, {surroundRight}}},
      {"5.1 on 7.1",
       surround51,
       surround71,
       {{frontLeft},
        {frontRight},
        {centre},
        {lowFrequency},
        {surroundLeft},
        {surroundRight},
        {},
        {}}},
      {"7.1 on 7.1",
       surround71,
       surround71,
       {{frontLeft},
        {frontRight},
        {centre},
        {lowFrequency},
        {surroundLeft},
        {surroundRight},
        {surroundLeft},
        {surroundRight}}},
      // Before all of a node's ports have appeared.
      {"stereo, its left port alone so far", stereo, {"FL"}, {{frontLeft}}},
      // No port carries a channel of the source: by position, rather than nothing at all.
      {"stereo on a device of positionless channels",
       stereo,
       {"AUX0", "AUX1"},
       {{frontLeft}, {frontRight}}},
      {"stereo on a centre-only device", stereo, {"FC"}, {{centre}}},
      {"no ports", stereo, {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(captureInputsFor(c.source, c.ports), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace sysaudio::pipewire
