#include "entry.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "audio_sink.h"
#include "capture_session.h"
#include "platform/dispatch.h"
#include "sample_output.h"
#include "settings.h"
#include "status.h"
#include "usage_text.h"

#ifndef SYSAUDIO_VERSION
#define SYSAUDIO_VERSION "unknown"
#endif

namespace sysaudio {

namespace {

constexpr std::string_view version = "sysaudio " SYSAUDIO_VERSION "\n";

}  // namespace

std::optional<std::string_view> informationRequested(std::span<const char* const> arguments) {
  if (arguments.size() < 2) {
    return std::nullopt;
  }
  const std::string_view first = arguments[1];
  if (first == "-h" || first == "--help") {
    return usageText;
  }
  if (first == "--version") {
    return version;
  }
  return std::nullopt;
}

void runSysaudio(std::span<const char* const> arguments, CaptureService& service) {
  takeOverStandardError(std::getenv(diagnosticLogVariable));
  setUpSampleOutput();
  if (const std::optional<std::string_view> text = informationRequested(arguments)) {
    std::fwrite(text->data(), 1, text->size(), stdout);
    std::exit(std::fflush(stdout) == 0 ? 0 : 1);
  }

  // These live in this frame, which is never left, so they last as long as the process and
  // nothing tears them down while other threads still use them.
  const Settings settings = settingsFromArguments(arguments);
  AudioSink sink(settings);
  std::unique_ptr<Stream> activeStream;

  std::thread([&service, &settings, &sink, &activeStream] {
    runCaptureSession(service, settings, sink, activeStream);
  }).detach();

  parkMainThreadForever();
}

}  // namespace sysaudio
