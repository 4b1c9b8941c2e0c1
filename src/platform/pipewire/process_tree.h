// The machine's processes and their parent links, as /proc shows them. On Linux an
// application's audio often comes from a helper child process, so leaving an application out
// means leaving out its whole process tree.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sysaudio::pipewire {

struct RunningProcess {
  pid_t processID = 0;
  std::string name;
};

// Every process that can be seen, except the init process, which started everything and is no
// application of its own.
std::vector<RunningProcess> runningProcesses();

std::optional<pid_t> parentOf(pid_t process);

// True when the process is one of the roots or descends from one of them. A process that
// cannot be looked up is judged by its own id alone.
bool belongsToProcessTrees(pid_t process, std::span<const pid_t> roots);

}  // namespace sysaudio::pipewire
