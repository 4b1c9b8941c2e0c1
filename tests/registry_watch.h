// A client of a test's PipeWire session that is told of every object the server announces, on
// the client's own thread and at the moment the announcement arrives: for a test that must act
// at a precise step of another client, such as stopping the server once sysaudio's capture
// stream exists and before it runs.
#pragma once

#include <spa/utils/dict.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/pipewire/pipewire_handles.h"

namespace sysaudio::testing {

class RegistryWatch {
 public:
  // Called on the watch's thread with the object's type and properties.
  using Announced = std::function<void(std::string_view type, const spa_dict* properties)>;

  // Connects to the server listening at socketPath and returns once the server has announced
  // every object it already has; throws if it cannot.
  RegistryWatch(const std::string& socketPath, Announced announced);
  RegistryWatch(const RegistryWatch&) = delete;
  RegistryWatch& operator=(const RegistryWatch&) = delete;
  ~RegistryWatch();

 private:
  static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                       std::uint32_t version, const spa_dict* properties);
  static void onDone(void* data, std::uint32_t id, int seq);

  Announced announced_;
  int syncSeq_ = -1;
  bool synced_ = false;
  pipewire::ThreadLoopHandle threadLoop_;
  pipewire::ContextHandle context_;
  pipewire::CoreHandle core_;
  pipewire::Hook coreHook_;
  pipewire::ProxyHandle registry_;
  pipewire::Hook registryHook_;
};

// The value of key in properties, or an empty view.
std::string_view propertyOf(const spa_dict* properties, const char* key);

}  // namespace sysaudio::testing
