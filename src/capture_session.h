// The one task that takes the process from nothing to a running capture of what the machine
// plays, without the parent application's audio, and maps the capture service's errors to
// status messages.
#pragma once

#include <memory>
#include <string>

#include "audio_sink.h"
#include "platform/capture_service.h"
#include "settings.h"

namespace sysaudio {

inline constexpr std::string_view permissionDeniedMessage =
    "permission denied \xE2\x80\x94 allow Murvane under Screen & System Audio Recording";

// Sets up the capture and, once it runs, keeps the stream in activeStream, starts the sink's
// silence filler and reports "ready". Any failure ends the process through fail.
void runCaptureSession(CaptureService& service, const Settings& settings, AudioSink& sink,
                       std::unique_ptr<Stream>& activeStream);

// The message for a capture that could not start, for a user to act on.
std::string startFailureMessage(const CaptureError& error);

[[noreturn]] void failForCaptureError(const CaptureError& error);

}  // namespace sysaudio
