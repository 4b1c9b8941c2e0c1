// Owning handles for the PipeWire objects the capture service holds. Each C handle is released
// by its own call when its owner goes; a listener hook is removed before the object it listens
// to, since it is declared after it.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/utils/hook.h>

#include <memory>

namespace sysaudio::pipewire {

struct ThreadLoopDeleter {
  void operator()(pw_thread_loop* loop) const {
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
  }
};
using ThreadLoopHandle = std::unique_ptr<pw_thread_loop, ThreadLoopDeleter>;

struct ContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
using ContextHandle = std::unique_ptr<pw_context, ContextDeleter>;

struct CoreDeleter {
  void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
using CoreHandle = std::unique_ptr<pw_core, CoreDeleter>;

struct ProxyDeleter {
  void operator()(pw_proxy* proxy) const { pw_proxy_destroy(proxy); }
};
using ProxyHandle = std::unique_ptr<pw_proxy, ProxyDeleter>;

struct StreamDeleter {
  void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};
using StreamHandle = std::unique_ptr<pw_stream, StreamDeleter>;

struct PropertiesDeleter {
  void operator()(pw_properties* properties) const { pw_properties_free(properties); }
};
using PropertiesHandle = std::unique_ptr<pw_properties, PropertiesDeleter>;

// A source added to a loop, such as a timer; destroyed on the loop it was added to.
struct LoopSourceDeleter {
  pw_loop* loop = nullptr;
  void operator()(spa_source* source) const { pw_loop_destroy_source(loop, source); }
};
using LoopSourceHandle = std::unique_ptr<spa_source, LoopSourceDeleter>;

// A listener's registration; it is removed when the hook goes.
class Hook {
 public:
  Hook() = default;
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;
  ~Hook() { remove(); }

  spa_hook* get() { return &hook_; }
  void remove() {
    if (hook_.link.next != nullptr) {
      spa_hook_remove(&hook_);
      hook_ = {};
    }
  }

 private:
  spa_hook hook_{};
};

// Holds the thread loop's lock, which every call into PipeWire off the loop's thread needs.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;
  ~LoopLock() { pw_thread_loop_unlock(loop_); }

 private:
  pw_thread_loop* loop_;
};

}  // namespace sysaudio::pipewire
