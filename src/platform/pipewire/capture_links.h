// The links into the capture node that this client made, kept as wanted: a link that goes away
// while it is still wanted is made again as RelinkPolicy allows, and one no longer wanted goes.
// Everything here runs on, or is called with the lock of, the connection's thread loop.
#pragma once

#include <pipewire/pipewire.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/pipewire/link_policy.h"
#include "platform/pipewire/pipewire_handles.h"
#include "platform/pipewire/relink_policy.h"

namespace sysaudio::pipewire {

class CaptureLinks {
 public:
  // recheck is called when the wanted links should be worked out again: once the server has
  // caught up after a link went (so that a link whose port went with it is not made again), and
  // when a link held back may be tried again.
  CaptureLinks(pw_core* core, pw_loop* loop, std::function<void()> recheck);
  CaptureLinks(const CaptureLinks&) = delete;
  CaptureLinks& operator=(const CaptureLinks&) = delete;
  ~CaptureLinks();

  // Makes the wanted links that are missing into captureNode, and removes the others; ports are
  // the graph's, in which the wanted ones are found.
  void update(const std::vector<PortPair>& wanted, const std::map<std::uint32_t, GraphPort>& ports,
              std::uint32_t captureNode);
  // Removes every link, for good.
  void clear();

 private:
  struct Link {
    CaptureLinks* owner = nullptr;
    PortPair ports;
    ProxyHandle proxy;
    Hook hook;
    bool gone = false;
  };
  using Clock = std::chrono::steady_clock;

  static void onLinkRemoved(void* data);
  static void onLinkError(void* data, int seq, int res, const char* message);
  static void onCoreDone(void* data, std::uint32_t id, int seq);
  static void onRetryTimer(void* data, std::uint64_t expirations);

  void make(const PortPair& ports, std::uint32_t outputNode, std::uint32_t captureNode);
  void lose(Link& link);
  void armRetryTimer();

  pw_core* core_;
  pw_loop* loop_;
  std::function<void()> recheck_;
  std::map<PortPair, std::unique_ptr<Link>> links_;
  // Links that went, kept until their proxy's own event has returned.
  std::vector<std::unique_ptr<Link>> gone_;
  RelinkPolicy policy_;
  Hook coreHook_;
  int recheckSeq_ = -1;
  LoopSourceHandle retryTimer_;
};

}  // namespace sysaudio::pipewire
