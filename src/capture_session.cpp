#include "capture_session.h"

#include <unistd.h>

#include <future>
#include <utility>
#include <vector>

#include "status.h"

namespace sysaudio {

namespace {

struct ContentResult {
  std::optional<ShareableContent> content;
  std::optional<CaptureError> error;
};

ContentResult requestShareableContent(CaptureService& service) {
  std::promise<ContentResult> arrived;
  service.getShareableContent(
      false, true,
      [&arrived](std::optional<ShareableContent> content, std::optional<CaptureError> error) {
        arrived.set_value({std::move(content), std::move(error)});
      });
  return arrived.get_future().get();
}

// The sink learns of a failed start on the service's own thread, before that thread can go on
// to report the stream's stop: the start's error is then the one outcome.
std::optional<CaptureError> startCapture(Stream& stream, AudioSink& sink) {
  std::promise<std::optional<CaptureError>> started;
  stream.startCapture([&started, &sink](std::optional<CaptureError> error) {
    if (error) {
      sink.startFailed();
    }
    started.set_value(std::move(error));
  });
  return started.get_future().get();
}

std::vector<RunningApplication> applicationsOfProcess(
    const std::vector<RunningApplication>& applications, pid_t processID) {
  std::vector<RunningApplication> matching;
  for (const RunningApplication& application : applications) {
    if (application.processID == processID) {
      matching.push_back(application);
    }
  }
  return matching;
}

std::unique_ptr<StreamConfiguration> makeConfiguration(CaptureService& service,
                                                       const Settings& settings) {
  std::unique_ptr<StreamConfiguration> configuration = service.makeStreamConfiguration();
  configuration->setCapturesAudio(true);
  configuration->setExcludesCurrentProcessAudio(true);
  configuration->setSampleRate(settings.sampleRate);
  configuration->setChannelCount(1);
  configuration->setWidth(2);
  configuration->setHeight(2);
  configuration->setMinimumFrameInterval(MediaTime{1, 1});
  return configuration;
}

void addOutput(Stream& stream, AudioSink& sink, StreamOutputType type) {
  std::optional<CaptureError> error;
  if (stream.addStreamOutput(sink, type, sink.queue, error)) {
    return;
  }
  failForCaptureError(
      error.value_or(CaptureError{"sysaudio", 0, "the capture service refused the stream output"}));
}

}  // namespace

void runCaptureSession(CaptureService& service, const Settings& settings, AudioSink& sink,
                       std::unique_ptr<Stream>& activeStream) {
  ContentResult result = requestShareableContent(service);
  if (result.error) {
    failForCaptureError(*result.error);
  }
  if (!result.content) {
    failForCaptureError(
        CaptureError{"sysaudio", 0, "the capture service returned no shareable content"});
  }
  const ShareableContent& content = *result.content;
  if (content.displays.empty()) {
    fail("no display found");
  }
  const Display& display = content.displays.front();

  // Read only now: the parent is whoever started this process as the content arrives.
  const pid_t parentProcessID = getppid();
  const ContentFilter filter{display, applicationsOfProcess(content.applications, parentProcessID)};
  const std::unique_ptr<StreamConfiguration> configuration = makeConfiguration(service, settings);

  std::unique_ptr<Stream> stream = service.makeStream(filter, *configuration, sink);
  addOutput(*stream, sink, StreamOutputType::audio);
  addOutput(*stream, sink, StreamOutputType::screen);

  if (const std::optional<CaptureError> error = startCapture(*stream, sink)) {
    failForCaptureError(*error);
  }
  activeStream = std::move(stream);
  sink.startSilenceFiller();
  reportReady();
}

std::string startFailureMessage(const CaptureError& error) {
  if (error.domain == streamErrorDomain && error.code == streamErrorUserDeclined) {
    return std::string(permissionDeniedMessage);
  }
  return error.localizedDescription;
}

void failForCaptureError(const CaptureError& error) {
  fail(startFailureMessage(error));
}

}  // namespace sysaudio
