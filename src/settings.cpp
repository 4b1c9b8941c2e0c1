#include "settings.h"

#include <limits>

namespace sysaudio {

std::optional<std::int64_t> parseSampleRate(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
    if (text.empty()) {
      return std::nullopt;
    }
  }
  constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t smallest = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  for (const char byte : text) {
    if (byte < '0' || byte > '9') {
      return std::nullopt;
    }
    const int digit = byte - '0';
    // Negative values are built downward so that the most negative one fits as well.
    if (negative) {
      if (value < (smallest + digit) / 10) {
        return std::nullopt;
      }
      value = value * 10 - digit;
    } else {
      if (value > (largest - digit) / 10) {
        return std::nullopt;
      }
      value = value * 10 + digit;
    }
  }
  return value;
}

Settings settingsFromArguments(std::span<const char* const> arguments) {
  const std::string_view text = arguments.size() > 1 ? arguments[1] : "16000";
  Settings settings;
  settings.sampleRate = parseSampleRate(text).value_or(defaultSampleRate);
  settings.silenceChunk = settings.sampleRate / 20;
  settings.silenceAfter = 0.2;
  return settings;
}

}  // namespace sysaudio
