// When a link into the capture that went away while both its ends remain may be made again.
//
// Someone removed it (a patchbay, a session manager's policy, a script) or the server refused
// it. The first losses are answered at once, so that the capture misses no more than a graph
// cycle or two; a link that keeps going within moments of being made means someone keeps
// removing it, or the server keeps refusing it, and each further attempt waits twice as long as
// the one before, up to a few seconds, rather than fight in a tight loop. A link that stood for
// a while before it went starts afresh.
#pragma once

#include <chrono>
#include <map>
#include <optional>

#include "platform/pipewire/link_policy.h"

namespace sysaudio::pipewire {

class RelinkPolicy {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  // A link that lived this long before it went was not fought over.
  static constexpr Duration settledLifetime = std::chrono::seconds(2);
  // Losses in a row answered at once.
  static constexpr int immediateRetries = 2;
  static constexpr Duration firstDelay = std::chrono::milliseconds(100);
  static constexpr Duration longestDelay = std::chrono::seconds(5);

  void made(const PortPair& link, TimePoint at);
  // The link went, or was refused, while both of its ends remain.
  void lost(const PortPair& link, TimePoint at);
  // Its ends are gone, or it is no longer wanted: its history goes too.
  void forget(const PortPair& link);

  bool mayLink(const PortPair& link, TimePoint now) const;
  // The earliest time after now at which a link held back may be made.
  std::optional<TimePoint> nextRetry(TimePoint now) const;

 private:
  struct History {
    TimePoint madeAt;
    int quickLosses = 0;
    TimePoint notBefore;
  };
  std::map<PortPair, History> histories_;
};

}  // namespace sysaudio::pipewire
