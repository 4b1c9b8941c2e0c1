#include "platform/pipewire/parent_rule.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

namespace sysaudio::pipewire {
namespace {

// A process table as /proc would show it: pid -> parent and process group.
//
//   1 init (group 1)
//   ├─ 100 terminal (group 100)
//   │  └─ 110 interactive shell (group 110)
//   │     ├─ 120 a job: the parent application (group 120)
//   │     │  ├─ 121 its helper (group 120)
//   │     │  │  └─ 122 the helper's own helper (group 120)
//   │     │  └─ 125 a child that made a group of its own (group 125)
//   │     │     └─ 126 its child (group 125)
//   │     └─ 130 another job of the shell: a player (group 130)
//   ├─ 200 a non-interactive script, itself a parent (group 200)
//   │  ├─ 201 its background child (group 200)
//   │  └─ 202 a job-control shell it started (group 200)
//   │     └─ 203 that shell's job (group 203)
//   │        └─ 204 back in the script's group (group 200)
//   └─ 300 a daemon (group 300)
const std::map<pid_t, ProcessLinks> table = {
    {1, {0, 1}},       {100, {1, 100}},   {110, {100, 110}}, {120, {110, 120}}, {121, {120, 120}},
    {122, {121, 120}}, {125, {120, 125}}, {126, {125, 125}}, {130, {110, 130}}, {200, {1, 200}},
    {201, {200, 200}}, {202, {200, 200}}, {203, {202, 203}}, {204, {203, 200}}, {300, {1, 300}},
};

std::optional<ProcessLinks> lookUp(pid_t process) {
  const auto found = table.find(process);
  if (found == table.end()) {
    return std::nullopt;
  }
  return found->second;
}

TEST(ParentRuleTest, TheParentAndTheDescendantsInItsGroupBelongToIt) {
  struct Case {
    const char* name;
    pid_t process;
    std::vector<pid_t> roots;
    bool belongs;
  };
  const std::vector<Case> cases = {
      {"the parent itself", 120, {120}, true},
      {"an application's helper", 121, {120}, true},
      {"a helper's helper", 122, {120}, true},
      {"a child in a group of its own", 125, {120}, false},
      {"a grandchild through a child in a group of its own", 126, {120}, false},
      {"a job of the interactive shell that is the parent", 130, {110}, false},
      {"a job of the interactive shell beside the parent", 130, {120}, false},
      {"a background child of a non-interactive script", 201, {200}, true},
      {"back in the group after a job in between", 204, {200}, false},
      {"a job of a shell the script started", 203, {200}, false},
      {"the parent's parent", 110, {120}, false},
      {"an unrelated process", 300, {120}, false},
      {"one of several roots", 121, {300, 120}, true},
      {"no roots", 121, {}, false},
      // In a container without an init, the parent is pid 1.
      {"init as the parent, itself", 1, {1}, true},
      {"init's child in a group of its own", 300, {1}, false},
      {"a process that cannot be looked up", 999, {120}, false},
      {"the parent when it cannot be looked up", 999, {999}, true},
      {"a child of a parent that cannot be looked up", 121, {998}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(belongsToApplications(c.process, c.roots, &lookUp), c.belongs) << c.name;
  }
}

TEST(ParentRuleTest, InitsHelpersBelongToIt) {
  const std::map<pid_t, ProcessLinks> container = {{1, {0, 1}}, {7, {1, 1}}, {8, {7, 1}}};
  const ProcessLookup lookUpInContainer = [&container](pid_t process) {
    const auto found = container.find(process);
    return found != container.end() ? std::optional(found->second) : std::nullopt;
  };
  const std::vector<pid_t> init{1};
  EXPECT_TRUE(belongsToApplications(8, init, lookUpInContainer));
  EXPECT_FALSE(belongsToApplications(9, init, lookUpInContainer));
}

// Pids reused while walking could make a cycle; the walk still ends.
TEST(ParentRuleTest, ACycleOfParentsEnds) {
  const ProcessLookup cycle = [](pid_t process) -> std::optional<ProcessLinks> {
    return ProcessLinks{process == 40 ? 41 : 40, 5};
  };
  const std::vector<pid_t> roots{5};
  EXPECT_FALSE(belongsToApplications(40, roots, cycle));
  const ProcessLookup ownParent = [](pid_t) -> std::optional<ProcessLinks> {
    return ProcessLinks{40, 5};
  };
  EXPECT_FALSE(belongsToApplications(40, roots, ownParent));
}

}  // namespace
}  // namespace sysaudio::pipewire
