#include "platform/pipewire/process_tree.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

namespace sysaudio::pipewire {
namespace {

// A child that starts a grandchild, both waiting until the test ends them.
class ProcessFamily {
 public:
  ProcessFamily() {
    int fds[2];
    if (pipe(fds) != 0) {
      throw std::runtime_error("pipe");
    }
    child_ = fork();
    if (child_ == 0) {
      close(fds[0]);
      const pid_t grandchild = fork();
      if (grandchild == 0) {
        pause();
        _exit(0);
      }
      (void)!write(fds[1], &grandchild, sizeof grandchild);
      pause();
      _exit(0);
    }
    close(fds[1]);
    (void)!read(fds[0], &grandchild_, sizeof grandchild_);
    close(fds[0]);
  }
  ~ProcessFamily() {
    kill(grandchild_, SIGKILL);
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
  }

  pid_t child() const { return child_; }
  pid_t grandchild() const { return grandchild_; }

 private:
  pid_t child_ = -1;
  pid_t grandchild_ = -1;
};

TEST(ProcessTreeTest, AProcessBelongsToTheTreesOfItsAncestorsOnly) {
  const ProcessFamily family;
  const ProcessFamily other;
  const pid_t self = getpid();
  struct Case {
    const char* name;
    pid_t process;
    std::vector<pid_t> roots;
    bool belongs;
  };
  const std::vector<Case> cases = {
      {"itself", family.child(), {family.child()}, true},
      {"a grandchild of the root", family.grandchild(), {self}, true},
      {"one of several roots", family.grandchild(), {other.child(), family.child()}, true},
      {"the root's parent", self, {family.child()}, false},
      {"a sibling's tree", family.grandchild(), {other.child()}, false},
      {"no roots", family.grandchild(), {}, false},
      {"a process that does not exist", 0x3ffffff0, {self}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(belongsToProcessTrees(c.process, c.roots), c.belongs) << c.name;
  }
}

TEST(ProcessTreeTest, RunningProcessesListsTheLivingInitIncluded) {
  const ProcessFamily family;
  const std::vector<RunningProcess> processes = runningProcesses();
  auto listed = [&](pid_t process) {
    return std::any_of(processes.begin(), processes.end(),
                       [process](const auto& p) { return p.processID == process; });
  };
  EXPECT_TRUE(listed(getpid()));
  EXPECT_TRUE(listed(family.grandchild()));
  EXPECT_TRUE(listed(1));
  const std::optional<ProcessLinks> links = linksOf(family.grandchild());
  ASSERT_TRUE(links.has_value());
  EXPECT_EQ(links->parent, family.child());
  EXPECT_EQ(links->group, getpgrp());
}

}  // namespace
}  // namespace sysaudio::pipewire
