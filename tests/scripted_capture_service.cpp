#include "scripted_capture_service.h"

#include <unistd.h>

#include <sstream>

namespace sysaudio::testing {

namespace {

// Records the configuration's values in the order the session sets them.
class RecordingConfiguration final : public StreamConfiguration {
 public:
  explicit RecordingConfiguration(ScriptedCaptureService& service) : service_(service) {}

  void setCapturesAudio(bool value) override {
    service_.record("setCapturesAudio(" + std::string(value ? "true" : "false") + ")");
  }
  void setExcludesCurrentProcessAudio(bool value) override {
    service_.record("setExcludesCurrentProcessAudio(" + std::string(value ? "true" : "false") +
                    ")");
  }
  void setSampleRate(std::int64_t value) override {
    service_.record("setSampleRate(" + std::to_string(value) + ")");
  }
  void setChannelCount(std::int64_t value) override {
    service_.record("setChannelCount(" + std::to_string(value) + ")");
  }
  void setWidth(std::int64_t value) override {
    service_.record("setWidth(" + std::to_string(value) + ")");
  }
  void setHeight(std::int64_t value) override {
    service_.record("setHeight(" + std::to_string(value) + ")");
  }
  void setMinimumFrameInterval(MediaTime value) override {
    service_.record("setMinimumFrameInterval(" + std::to_string(value.value) + "/" +
                    std::to_string(value.timescale) + ")");
  }

 private:
  ScriptedCaptureService& service_;
};

}  // namespace

std::string describe(const CaptureError& error) {
  return error.domain + " " + std::to_string(error.code) + " " + error.localizedDescription;
}

std::string describe(StreamOutputType type) {
  switch (type) {
    case StreamOutputType::audio:
      return "audio";
    case StreamOutputType::screen:
      return "screen";
  }
  return "type " + std::to_string(static_cast<std::int64_t>(type));
}

ScriptedSampleBuffer& ScriptedSampleBuffer::add(std::vector<float> samples, std::uint32_t channels,
                                                std::optional<std::uint32_t> byteSize) {
  const auto size = byteSize.value_or(static_cast<std::uint32_t>(samples.size() * sizeof(float)));
  storage_.push_back(std::move(samples));
  buffers_.push_back({channels, size, storage_.back().data()});
  return *this;
}

ScriptedSampleBuffer& ScriptedSampleBuffer::addWithoutData(std::uint32_t channels,
                                                           std::uint32_t byteSize) {
  buffers_.push_back({channels, byteSize, nullptr});
  return *this;
}

std::optional<CaptureError> ScriptedSampleBuffer::withAudioBufferList(
    const std::function<void(AudioBufferList)>& body) const {
  if (listError) {
    return listError;
  }
  body(buffers_);
  return std::nullopt;
}

ScriptedStream::ScriptedStream(ScriptedCaptureService& service, StreamDelegate& delegate)
    : service_(service), delegate_(delegate) {}

ScriptedStream::~ScriptedStream() {
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

bool ScriptedStream::addStreamOutput(StreamOutput& output, StreamOutputType type,
                                     SerialQueue& queue, std::optional<CaptureError>& error) {
  service_.record("addStreamOutput(" + describe(type) + ", " + queue.label() + ", slot " +
                  (error ? "set" : "absent") + ")");
  const RegistrationScript& script = type == StreamOutputType::audio
                                         ? service_.script().audioRegistration
                                         : service_.script().screenRegistration;
  if (script.refuses) {
    error = script.error;
    return false;
  }
  registrations_.push_back({&output, type, &queue});
  return true;
}

void ScriptedStream::startCapture(StartCompletion completion) {
  service_.record("startCapture");
  threads_.emplace_back([this, completion = std::move(completion)] {
    const CaptureScript& script = service_.script();
    if (script.beforeStartCompletes) {
      script.beforeStartCompletes();
    }
    if (script.stopBeforeStartCompletes) {
      delegate_.streamDidStopWithError(*this, *script.stopBeforeStartCompletes);
    }
    service_.record("start completes");
    completion(script.startError);
    if (script.stopAfterStartCompletes) {
      delegate_.streamDidStopWithError(*this, *script.stopAfterStartCompletes);
    }
  });
}

void ScriptedStream::deliver(std::shared_ptr<const SampleBuffer> buffer, StreamOutputType type) {
  for (const Registration& registration : registrations_) {
    if (registration.type != type) {
      continue;
    }
    registration.queue->async([this, buffer, registration, type] {
      registration.output->streamDidOutputSampleBuffer(*this, *buffer, type);
    });
    return;
  }
}

void ScriptedStream::reportStop(const CaptureError& error) {
  threads_.emplace_back([this, error] { delegate_.streamDidStopWithError(*this, error); });
}

ScriptedCaptureService::ScriptedCaptureService(CaptureScript script, int logFd)
    : script_(std::move(script)), logFd_(logFd) {}

ScriptedCaptureService::~ScriptedCaptureService() {
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

void ScriptedCaptureService::getShareableContent(bool excludingDesktopWindows,
                                                 bool onScreenWindowsOnly,
                                                 ContentCompletion completion) {
  record(std::string("getShareableContent(") + (excludingDesktopWindows ? "true" : "false") + ", " +
         (onScreenWindowsOnly ? "true" : "false") + ")");
  threads_.emplace_back([this, completion = std::move(completion)] {
    if (script_.beforeContentCompletes) {
      script_.beforeContentCompletes();
    }
    record("content completes");
    std::optional<ShareableContent> content;
    if (!script_.contentAbsent) {
      content = ShareableContent{script_.displays, script_.applications};
    }
    completion(std::move(content), script_.contentError);
  });
}

std::unique_ptr<StreamConfiguration> ScriptedCaptureService::makeStreamConfiguration() {
  record("makeStreamConfiguration");
  return std::make_unique<RecordingConfiguration>(*this);
}

std::unique_ptr<Stream> ScriptedCaptureService::makeStream(const ContentFilter& filter,
                                                           const StreamConfiguration&,
                                                           StreamDelegate& delegate) {
  std::ostringstream call;
  call << "makeStream(display " << filter.display.displayID << ", excluding [";
  for (std::size_t i = 0; i < filter.excludedApplications.size(); ++i) {
    const RunningApplication& application = filter.excludedApplications[i];
    call << (i ? ", " : "") << application.applicationName << ":" << application.processID;
  }
  call << "])";
  record(call.str());
  auto stream = std::make_unique<ScriptedStream>(*this, delegate);
  lastStream_ = stream.get();
  return stream;
}

std::vector<std::string> ScriptedCaptureService::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void ScriptedCaptureService::record(std::string call) {
  std::lock_guard lock(mutex_);
  if (logFd_ >= 0) {
    const std::string line = call + "\n";
    (void)!write(logFd_, line.data(), line.size());
  }
  calls_.push_back(std::move(call));
}

}  // namespace sysaudio::testing
