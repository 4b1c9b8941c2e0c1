#include "platform/pipewire/link_policy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace sysaudio::pipewire {
namespace {

TEST(LinkPolicyTest, OnlyApplicationsPlaybackStreamsAreLinked) {
  struct Case {
    const char* name;
    std::string mediaClass;
    std::string linkGroup;
    bool linked;
  };
  const std::vector<Case> cases = {
      {"an application's stream", "Stream/Output/Audio", "", true},
      {"the playback half of a remap sink", "Stream/Output/Audio", "loopback-1234-12", false},
      {"the playback half of an echo canceller", "Stream/Output/Audio", "echo-cancel-1234-13",
       false},
      {"a combine sink's stream to one device", "Stream/Output/Audio", "combine-sink-1234-14",
       false},
      {"the playback half of a filter chain", "Stream/Output/Audio", "filter-chain-99-20", false},
      {"a recording stream", "Stream/Input/Audio", "", false},
      {"the capture half of a loopback", "Stream/Input/Audio", "loopback-1234-15", false},
      {"an output device", "Audio/Sink", "", false},
      {"a virtual sink", "Audio/Sink", "loopback-1234-12", false},
      {"a microphone", "Audio/Source", "", false},
      {"a video stream", "Stream/Output/Video", "", false},
      {"no class", "", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isApplicationPlayback(c.mediaClass, c.linkGroup), c.linked) << c.name;
  }
}

// The capture is node 10 with inputs 100 to 105; node 20 plays stereo on a 5.1 device (node 90),
// node 30 plays to a mono device, node 40 is left out, node 50's format is unknown, node 60 plays
// nowhere yet, and node 70 only into the capture.
TEST(LinkPolicyTest, LinksThePlayingPortsOfTakenNodesIntoTheirInputs) {
  std::map<std::uint32_t, GraphPort> ports = {
      {100, {10, false, false, "FL"}},  {101, {10, false, false, "FR"}},
      {102, {10, false, false, "FC"}},  {103, {10, false, false, "LFE"}},
      {104, {10, false, false, "RL"}},  {105, {10, false, false, "RR"}},
      {200, {20, true, false, "FL"}},   {201, {20, true, false, "FR"}},
      {202, {20, true, false, "FC"}},   {203, {20, true, false, "LFE"}},
      {204, {20, true, false, "RL"}},   {205, {20, true, false, "RR"}},
      {206, {20, false, false, "FL"}},  {207, {20, true, true, "FL"}},
      {300, {30, true, false, "MONO"}}, {400, {40, true, false, "FL"}},
      {500, {50, true, false, "FL"}},   {501, {50, true, false, "FC"}},
      {600, {60, true, false, "FL"}},   {700, {70, true, false, "FL"}},
  };
  std::map<std::uint32_t, GraphLink> links;
  std::uint32_t linkID = 1000;
  for (const std::uint32_t output : {200, 201, 202, 203, 204, 205, 207, 300, 400, 500, 501}) {
    links[linkID++] = {output, 90};
  }
  links[linkID++] = {700, 10};
  const LinkedSource source = [](std::uint32_t node) -> std::optional<std::vector<std::string>> {
    switch (node) {
      case 20:
      case 30:
      case 60:
      case 70:
        return std::vector<std::string>{"FL", "FR"};
      case 50:
        return std::vector<std::string>{};
      default:
        return std::nullopt;
    }
  };
  const std::vector<PortPair> expected = {
      {200, 100}, {201, 101}, {300, 102}, {500, 100}, {501, 102}};
  EXPECT_EQ(wantedLinks(ports, links, 10, source), expected);

  // Once the port of node 60 plays to its device, it is taken too.
  links[linkID++] = {600, 90};
  std::vector<PortPair> withNode60 = expected;
  withNode60.emplace_back(600, 100);
  EXPECT_EQ(wantedLinks(ports, links, 10, source), withNode60);

  // Without the capture's ports there is nothing to link into.
  std::erase_if(ports, [](const auto& entry) { return entry.second.nodeID == 10; });
  EXPECT_TRUE(wantedLinks(ports, links, 10, source).empty());
}

}  // namespace
}  // namespace sysaudio::pipewire
