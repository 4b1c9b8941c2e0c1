#include "platform/pipewire/parent_rule.h"

#include <algorithm>

namespace sysaudio::pipewire {

namespace {

// The depth limit only guards against a cycle made by pids reused while walking.
constexpr int deepestTree = 4096;

bool belongsToApplication(pid_t process, pid_t root, const ProcessLookup& lookup) {
  if (process == root) {
    return true;
  }
  const std::optional<ProcessLinks> rootLinks = lookup(root);
  if (!rootLinks) {
    return false;
  }
  for (int depth = 0; depth < deepestTree && process > 0; ++depth) {
    if (process == root) {
      return true;
    }
    const std::optional<ProcessLinks> links = lookup(process);
    if (!links || links->group != rootLinks->group || links->parent == process) {
      return false;
    }
    process = links->parent;
  }
  return false;
}

}  // namespace

bool belongsToApplications(pid_t process, std::span<const pid_t> roots,
                           const ProcessLookup& lookup) {
  return std::any_of(roots.begin(), roots.end(),
                     [&](pid_t root) { return belongsToApplication(process, root, lookup); });
}

}  // namespace sysaudio::pipewire
