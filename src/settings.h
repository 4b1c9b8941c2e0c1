// The command line and the values derived from it once at start-up.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace sysaudio {

inline constexpr std::int64_t defaultSampleRate = 16000;

// Set once at start-up, before any other thread exists, and only read afterwards.
struct Settings {
  std::int64_t sampleRate = defaultSampleRate;
  // Samples per silence block: 50 ms at sampleRate, truncated toward zero.
  std::int64_t silenceChunk = defaultSampleRate / 20;
  // Seconds without output after which silence is written.
  double silenceAfter = 0.2;
};

// A signed 64-bit decimal integer with at most one leading sign and nothing else around it;
// no value when the text is anything else or leaves the 64-bit range.
std::optional<std::int64_t> parseSampleRate(std::string_view text);

// Only the first argument after the program name counts; one that does not parse gives the
// default rate.
Settings settingsFromArguments(std::span<const char* const> arguments);

}  // namespace sysaudio
