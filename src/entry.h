// Start-up: standard output, the settings, the sink, the capture task; then the main thread
// parks for good.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/capture_service.h"

namespace sysaudio {

// The text printed instead of capturing when the first argument asks for help or the version.
// No sample rate is spelled like these, so no caller loses a rate to them.
std::optional<std::string_view> informationRequested(std::span<const char* const> arguments);

// Runs the process on the given capture service. It never returns: the process ends through an
// error, through standard output's reader going away, or by a signal.
[[noreturn]] void runSysaudio(std::span<const char* const> arguments, CaptureService& service);

}  // namespace sysaudio
