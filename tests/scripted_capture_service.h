// A capture service that follows a script instead of capturing: its content, its errors and
// the moments its completions arrive are the test's to set, and it records every call it gets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture_service.h"
#include "platform/dispatch.h"

namespace sysaudio::testing {

// A sample buffer made of whatever buffers a test lists, valid or not, or an error in place of
// its list.
class ScriptedSampleBuffer final : public SampleBuffer {
 public:
  ScriptedSampleBuffer() = default;
  ScriptedSampleBuffer(const ScriptedSampleBuffer&) = delete;
  ScriptedSampleBuffer& operator=(const ScriptedSampleBuffer&) = delete;

  // A buffer over the samples; its byte size is theirs unless given.
  ScriptedSampleBuffer& add(std::vector<float> samples, std::uint32_t channels,
                            std::optional<std::uint32_t> byteSize = std::nullopt);
  ScriptedSampleBuffer& addWithoutData(std::uint32_t channels, std::uint32_t byteSize);

  bool isValid() const override { return valid; }
  std::optional<CaptureError> withAudioBufferList(
      const std::function<void(AudioBufferList)>& body) const override;

  bool valid = true;
  std::optional<CaptureError> listError;

 private:
  std::vector<std::vector<float>> storage_;
  std::vector<AudioBuffer> buffers_;
};

struct RegistrationScript {
  bool refuses = false;
  std::optional<CaptureError> error;
};

struct CaptureScript {
  std::vector<Display> displays{{1, "first display"}};
  std::vector<RunningApplication> applications;
  bool contentAbsent = false;
  std::optional<CaptureError> contentError;
  RegistrationScript audioRegistration;
  RegistrationScript screenRegistration;
  std::optional<CaptureError> startError;
  // Completions arrive on a thread of the service's own, after these have run there.
  std::function<void()> beforeContentCompletes;
  std::function<void()> beforeStartCompletes;
  // A stop the stream reports to its delegate on the same thread: before the start completes,
  // or once the start's completion has returned.
  std::optional<CaptureError> stopBeforeStartCompletes;
  std::optional<CaptureError> stopAfterStartCompletes;
};

// A stream that a sink is handed along with its buffers, for tests that drive a sink directly;
// the sink never looks at it.
class IdleStream final : public Stream {
 public:
  bool addStreamOutput(StreamOutput&, StreamOutputType, SerialQueue&,
                       std::optional<CaptureError>&) override {
    return true;
  }
  void startCapture(StartCompletion completion) override { completion(std::nullopt); }
};

class ScriptedCaptureService;

class ScriptedStream final : public Stream {
 public:
  ScriptedStream(ScriptedCaptureService& service, StreamDelegate& delegate);
  ~ScriptedStream() override;

  bool addStreamOutput(StreamOutput& output, StreamOutputType type, SerialQueue& queue,
                       std::optional<CaptureError>& error) override;
  void startCapture(StartCompletion completion) override;

  // Hands the buffer to the output registered for type, on its queue, as the service would.
  void deliver(std::shared_ptr<const SampleBuffer> buffer, StreamOutputType type);
  // Reports a stop to the delegate from a thread of the service's own.
  void reportStop(const CaptureError& error);

 private:
  struct Registration {
    StreamOutput* output;
    StreamOutputType type;
    SerialQueue* queue;
  };

  ScriptedCaptureService& service_;
  StreamDelegate& delegate_;
  std::vector<Registration> registrations_;
  std::vector<std::thread> threads_;
};

class ScriptedCaptureService final : public CaptureService {
 public:
  // When logFd is given, every record also goes there at once, so that a test sees the calls
  // of a child process that ended through an error.
  explicit ScriptedCaptureService(CaptureScript script, int logFd = -1);
  ~ScriptedCaptureService() override;

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override;
  std::unique_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override;

  std::vector<std::string> calls() const;
  void record(std::string call);
  const CaptureScript& script() const { return script_; }
  ScriptedStream* lastStream() const { return lastStream_; }

 private:
  CaptureScript script_;
  int logFd_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::thread> threads_;
  ScriptedStream* lastStream_ = nullptr;
};

std::string describe(const CaptureError& error);
std::string describe(StreamOutputType type);

}  // namespace sysaudio::testing
