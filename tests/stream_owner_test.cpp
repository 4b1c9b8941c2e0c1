#include "platform/pipewire/stream_owner.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace sysaudio::pipewire {
namespace {

TEST(StreamOwnerTest, NativeClientsByTheCheckedPidPulseAudioOnesByTheReportedOne) {
  struct Case {
    const char* name;
    ClientIdentity client;
    std::optional<pid_t> streamReported;
    bool checkedAreOurs;
    std::optional<pid_t> owner;
  };
  const std::vector<Case> cases = {
      {"a native client", {500, 500, false}, std::nullopt, true, 500},
      // pw-play inside `unshare --pid` reports itself as pid 1 of its namespace.
      {"a native client in another pid namespace", {500, 1, false}, std::nullopt, true, 500},
      {"a native client's stream naming another process", {500, 500, false}, 600, true, 500},
      {"a native client without a checked pid",
       {std::nullopt, 500, false},
       std::nullopt,
       true,
       500},
      {"a PulseAudio client", {77, 501, true}, std::nullopt, true, 501},
      {"a PulseAudio client's stream", {77, 501, true}, 502, true, 502},
      {"a PulseAudio client that names no process",
       {77, std::nullopt, true},
       std::nullopt,
       true,
       std::nullopt},
      // sysaudio in a container, the server outside: checked pids mean nothing here.
      {"a native client seen from another pid namespace", {500, 3, false}, std::nullopt, false, 3},
      {"a PulseAudio client seen from another pid namespace",
       {77, 4, true},
       std::nullopt,
       false,
       4},
      {"no client at all", {}, std::nullopt, true, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(streamOwner(c.client, c.streamReported, c.checkedAreOurs), c.owner) << c.name;
  }
}

TEST(StreamOwnerTest, CheckedPidsAreOursWhenOurOwnClientsIsOurPid) {
  EXPECT_TRUE(checkedProcessesAreOurs({4242, 4242, false}, 4242));
  // Inside a pid namespace the server sees this process under another number.
  EXPECT_FALSE(checkedProcessesAreOurs({98765, 2, false}, 2));
  EXPECT_FALSE(checkedProcessesAreOurs({std::nullopt, 2, false}, 2));
}

}  // namespace
}  // namespace sysaudio::pipewire
