#include "platform/pipewire/capture_links.h"

#include <algorithm>
#include <set>

namespace sysaudio::pipewire {

CaptureLinks::CaptureLinks(pw_core* core, pw_loop* loop, std::function<void()> recheck)
    : core_(core), loop_(loop), recheck_(std::move(recheck)) {
  static const pw_core_events events = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &CaptureLinks::onCoreDone;
    return events;
  }();
  pw_core_add_listener(core_, coreHook_.get(), &events, this);
  retryTimer_ = LoopSourceHandle(pw_loop_add_timer(loop_, &CaptureLinks::onRetryTimer, this),
                                 LoopSourceDeleter{loop_});
}

CaptureLinks::~CaptureLinks() {
  clear();
}

void CaptureLinks::clear() {
  links_.clear();
  gone_.clear();
  policy_ = RelinkPolicy();
  retryTimer_.reset();
  coreHook_.remove();
  recheck_ = nullptr;
}

void CaptureLinks::update(const std::vector<PortPair>& wanted,
                          const std::map<std::uint32_t, GraphPort>& ports,
                          std::uint32_t captureNode) {
  if (!recheck_) {
    return;
  }
  gone_.clear();
  const std::set<PortPair> wantedSet(wanted.begin(), wanted.end());
  std::erase_if(links_, [this, &wantedSet](const auto& entry) {
    if (wantedSet.contains(entry.first)) {
      return false;
    }
    policy_.forget(entry.first);
    return true;
  });
  const Clock::time_point now = Clock::now();
  for (const PortPair& link : wantedSet) {
    const auto output = ports.find(link.first);
    if (output != ports.end() && !links_.contains(link) && policy_.mayLink(link, now)) {
      make(link, output->second.nodeID, captureNode);
    }
  }
  armRetryTimer();
}

void CaptureLinks::make(const PortPair& ports, std::uint32_t outputNode,
                        std::uint32_t captureNode) {
  PropertiesHandle props(pw_properties_new(nullptr, nullptr));
  pw_properties_setf(props.get(), PW_KEY_LINK_OUTPUT_NODE, "%u", outputNode);
  pw_properties_setf(props.get(), PW_KEY_LINK_OUTPUT_PORT, "%u", ports.first);
  pw_properties_setf(props.get(), PW_KEY_LINK_INPUT_NODE, "%u", captureNode);
  pw_properties_setf(props.get(), PW_KEY_LINK_INPUT_PORT, "%u", ports.second);
  // The links go with this client, and being passive they never keep a stream running that
  // nothing else plays to.
  pw_properties_set(props.get(), PW_KEY_OBJECT_LINGER, "false");
  pw_properties_set(props.get(), PW_KEY_LINK_PASSIVE, "true");
  auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
      core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
  if (proxy == nullptr) {
    return;
  }
  auto link = std::make_unique<Link>();
  link->owner = this;
  link->ports = ports;
  link->proxy.reset(proxy);
  static const pw_proxy_events events = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.removed = &CaptureLinks::onLinkRemoved;
    events.error = &CaptureLinks::onLinkError;
    return events;
  }();
  pw_proxy_add_listener(proxy, link->hook.get(), &events, link.get());
  policy_.made(ports, Clock::now());
  links_[ports] = std::move(link);
}

void CaptureLinks::onLinkRemoved(void* data) {
  auto& link = *static_cast<Link*>(data);
  link.owner->lose(link);
}

void CaptureLinks::onLinkError(void* data, int, int, const char*) {
  auto& link = *static_cast<Link*>(data);
  link.owner->lose(link);
}

// The link is gone, or will never be; whether it is still wanted is known once the server has
// also reported whatever went with it, such as its ports.
void CaptureLinks::lose(Link& link) {
  if (link.gone) {
    return;
  }
  link.gone = true;
  policy_.lost(link.ports, Clock::now());
  if (const auto found = links_.find(link.ports); found != links_.end()) {
    gone_.push_back(std::move(found->second));
    links_.erase(found);
  }
  recheckSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
}

void CaptureLinks::onCoreDone(void* data, std::uint32_t id, int seq) {
  auto& self = *static_cast<CaptureLinks*>(data);
  if (id == PW_ID_CORE && seq == self.recheckSeq_ && self.recheck_) {
    self.recheckSeq_ = -1;
    self.gone_.clear();
    self.recheck_();
  }
}

void CaptureLinks::onRetryTimer(void* data, std::uint64_t) {
  auto& self = *static_cast<CaptureLinks*>(data);
  if (self.recheck_) {
    self.recheck_();
  }
}

void CaptureLinks::armRetryTimer() {
  if (!retryTimer_) {
    return;
  }
  const Clock::time_point now = Clock::now();
  const std::optional<Clock::time_point> next = policy_.nextRetry(now);
  timespec value{};
  if (next) {
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(*next - now);
    // A zero value would disarm the timer.
    value.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
    value.tv_nsec = std::max<long>(static_cast<long>(wait.count() % 1'000'000'000), 1);
  }
  pw_loop_update_timer(loop_, retryTimer_.get(), &value, nullptr, false);
}

}  // namespace sysaudio::pipewire
