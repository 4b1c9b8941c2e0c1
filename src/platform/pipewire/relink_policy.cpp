#include "platform/pipewire/relink_policy.h"

#include <algorithm>

namespace sysaudio::pipewire {

void RelinkPolicy::made(const PortPair& link, TimePoint at) {
  histories_[link].madeAt = at;
}

void RelinkPolicy::lost(const PortPair& link, TimePoint at) {
  History& history = histories_[link];
  if (at - history.madeAt >= settledLifetime) {
    history.quickLosses = 0;
  }
  ++history.quickLosses;
  Duration delay{};
  if (history.quickLosses > immediateRetries) {
    delay = firstDelay;
    for (int i = immediateRetries + 1; i < history.quickLosses && delay < longestDelay; ++i) {
      delay *= 2;
    }
    delay = std::min(delay, longestDelay);
  }
  history.notBefore = at + delay;
}

void RelinkPolicy::forget(const PortPair& link) {
  histories_.erase(link);
}

bool RelinkPolicy::mayLink(const PortPair& link, TimePoint now) const {
  const auto found = histories_.find(link);
  return found == histories_.end() || now >= found->second.notBefore;
}

std::optional<RelinkPolicy::TimePoint> RelinkPolicy::nextRetry(TimePoint now) const {
  std::optional<TimePoint> earliest;
  for (const auto& [link, history] : histories_) {
    if (history.notBefore > now && (!earliest || history.notBefore < *earliest)) {
      earliest = history.notBefore;
    }
  }
  return earliest;
}

}  // namespace sysaudio::pipewire
