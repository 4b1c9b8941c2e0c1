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

#ifndef SYSAUDIO_VERSION
#define SYSAUDIO_VERSION "unknown"
#endif

namespace sysaudio {

namespace {

constexpr std::string_view usage =
    "usage: sysaudio [sample-rate]\n"
    "\n"
    "Captures everything this machine plays, except the audio of the process that started\n"
    "sysaudio and of that process's children, and writes it to standard output as one channel\n"
    "of 32-bit floats in native byte order at sample-rate Hz (16000 when the argument is\n"
    "missing or is not a decimal integer), with no header or framing. Rates from 8000 to\n"
    "192000 are accepted. While nothing plays, blocks of 50 ms of zeros keep coming.\n"
    "\n"
    "Standard error carries \"ready\" once the capture runs, or one line beginning with\n"
    "\"error: \" just before sysaudio ends with status 1. It ends with status 0 when standard\n"
    "output can no longer be written.\n"
    "\n"
    "  -h, --help    print this text and exit\n"
    "  --version     print the version and exit\n";

constexpr std::string_view version = "sysaudio " SYSAUDIO_VERSION "\n";

}  // namespace

std::optional<std::string_view> informationRequested(std::span<const char* const> arguments) {
  if (arguments.size() < 2) {
    return std::nullopt;
  }
  const std::string_view first = arguments[1];
  if (first == "-h" || first == "--help") {
    return usage;
  }
  if (first == "--version") {
    return version;
  }
  return std::nullopt;
}

void runSysaudio(std::span<const char* const> arguments, CaptureService& service) {
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
