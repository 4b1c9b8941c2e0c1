// Who counts as an application whose audio stays out: the application's own process, and those
// of its descendants that stay in its process group. An application's helpers stay in its group;
// a shell with job control gives each job a group of its own, so what a user starts from the
// terminal that started sysaudio is not the terminal's audio. A helper that leaves the tree (by
// double-forking to be adopted elsewhere) is not found this way: that is the limit of the walk.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <span>

namespace sysaudio::pipewire {

// A process's parent and process group.
struct ProcessLinks {
  pid_t parent = 0;
  pid_t group = 0;
};

// The links of a running process, or none when it cannot be looked up.
using ProcessLookup = std::function<std::optional<ProcessLinks>(pid_t)>;

// True when process is one of the roots, or descends from one of them through processes that,
// like process itself, are all in that root's process group. A root may be any process, init
// included.
bool belongsToApplications(pid_t process, std::span<const pid_t> roots,
                           const ProcessLookup& lookup);

}  // namespace sysaudio::pipewire
