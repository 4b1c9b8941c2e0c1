#include "registry_watch.h"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sysaudio::testing {

namespace {

constexpr int syncTimeoutSeconds = 20;

}  // namespace

std::string_view propertyOf(const spa_dict* properties, const char* key) {
  const char* value = properties != nullptr ? spa_dict_lookup(properties, key) : nullptr;
  return value != nullptr ? std::string_view(value) : std::string_view();
}

RegistryWatch::RegistryWatch(const std::string& socketPath, Announced announced)
    : announced_(std::move(announced)) {
  pw_init(nullptr, nullptr);
  threadLoop_.reset(pw_thread_loop_new("registry-watch", nullptr));
  if (!threadLoop_) {
    throw std::runtime_error(std::string("pw_thread_loop_new: ") + std::strerror(errno));
  }
  context_.reset(pw_context_new(pw_thread_loop_get_loop(threadLoop_.get()), nullptr, 0));
  if (!context_ || pw_thread_loop_start(threadLoop_.get()) != 0) {
    throw std::runtime_error("cannot set up a PipeWire client for the watch");
  }
  pipewire::LoopLock lock(threadLoop_.get());
  core_.reset(pw_context_connect(
      context_.get(), pw_properties_new(PW_KEY_REMOTE_NAME, socketPath.c_str(), nullptr), 0));
  if (!core_) {
    throw std::runtime_error("cannot connect to " + socketPath + ": " + std::strerror(errno));
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &RegistryWatch::onDone;
    return events;
  }();
  pw_core_add_listener(core_.get(), coreHook_.get(), &coreEvents, this);
  static const pw_registry_events registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &RegistryWatch::onGlobal;
    return events;
  }();
  auto* registry = pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0);
  registry_.reset(reinterpret_cast<pw_proxy*>(registry));
  pw_registry_add_listener(registry, registryHook_.get(), &registryEvents, this);
  syncSeq_ = pw_core_sync(core_.get(), PW_ID_CORE, 0);
  timespec deadline{};
  pw_thread_loop_get_time(threadLoop_.get(), &deadline,
                          static_cast<std::int64_t>(syncTimeoutSeconds) * SPA_NSEC_PER_SEC);
  while (!synced_) {
    if (pw_thread_loop_timed_wait_full(threadLoop_.get(), &deadline) != 0) {
      throw std::runtime_error("the server did not list its objects to the watch in time");
    }
  }
}

RegistryWatch::~RegistryWatch() {
  // Nothing may run on the loop's thread while the objects it calls back go.
  if (threadLoop_) {
    pw_thread_loop_stop(threadLoop_.get());
  }
}

void RegistryWatch::onGlobal(void* data, std::uint32_t, std::uint32_t, const char* type,
                             std::uint32_t, const spa_dict* properties) {
  auto& watch = *static_cast<RegistryWatch*>(data);
  watch.announced_(type != nullptr ? std::string_view(type) : std::string_view(), properties);
}

void RegistryWatch::onDone(void* data, std::uint32_t id, int seq) {
  auto& watch = *static_cast<RegistryWatch*>(data);
  if (id == PW_ID_CORE && seq == watch.syncSeq_) {
    watch.synced_ = true;
    pw_thread_loop_signal(watch.threadLoop_.get(), false);
  }
}

}  // namespace sysaudio::testing
