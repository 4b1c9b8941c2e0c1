// A completion handed to the capture service, called exactly once whatever the service does
// with it: the first result it is given goes through, later ones are dropped, and a completion
// that the service lets go of without calling it gets a fallback result, so that nothing
// waits for it forever.
#pragma once

#include <atomic>
#include <functional>
#include <tuple>
#include <utility>

namespace sysaudio::screencapturekit {

template <typename... Results>
class CompletionOnce {
 public:
  using Completion = std::function<void(Results...)>;

  CompletionOnce(Completion completion, std::tuple<Results...> resultsIfDropped)
      : completion_(std::move(completion)), resultsIfDropped_(std::move(resultsIfDropped)) {}
  CompletionOnce(const CompletionOnce&) = delete;
  CompletionOnce& operator=(const CompletionOnce&) = delete;
  ~CompletionOnce() {
    std::apply([this](Results&... results) { deliver(std::move(results)...); }, resultsIfDropped_);
  }

  // May be called on any thread, also by several at once.
  void operator()(Results... results) { deliver(std::move(results)...); }

 private:
  void deliver(Results... results) {
    if (delivered_.exchange(true)) {
      return;
    }
    // Only the first caller gets here, so the completion is no longer shared.
    Completion completion = std::move(completion_);
    completion(std::move(results)...);
  }

  Completion completion_;
  std::tuple<Results...> resultsIfDropped_;
  std::atomic<bool> delivered_{false};
};

}  // namespace sysaudio::screencapturekit
