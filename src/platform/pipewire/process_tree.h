// The machine's processes, their parents and process groups, as /proc shows them. On Linux an
// application's audio often comes from a helper child process, so leaving an application out
// means leaving out the part of its process tree that stays in its process group (parent_rule).
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/pipewire/parent_rule.h"

namespace sysaudio::pipewire {

struct RunningProcess {
  pid_t processID = 0;
  std::string name;
};

// Every process that can be seen, init included: in a container without an init, pid 1 is an
// application like any other.
std::vector<RunningProcess> runningProcesses();

std::optional<ProcessLinks> linksOf(pid_t process);

// belongsToApplications over the running processes. A process that cannot be looked up is
// judged by its own id alone.
bool belongsToProcessTrees(pid_t process, std::span<const pid_t> roots);

}  // namespace sysaudio::pipewire
