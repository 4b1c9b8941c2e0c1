// Feeds arbitrary bytes to the sample-rate parse and to the settings built from the command line,
// and holds both to a reference parse that works in 128 bits, where no 64-bit overflow can hide.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "settings.h"

namespace sysaudio {
namespace {

void require(bool condition, const char* what, std::string_view text) {
  if (condition) {
    return;
  }
  std::fprintf(stderr, "parse_sample_rate_fuzzer: %s; text (%zu bytes):", what, text.size());
  for (const char byte : text) {
    std::fprintf(stderr, " %02x", static_cast<unsigned>(static_cast<unsigned char>(byte)));
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

bool isAsciiDigit(char byte) {
  return byte >= '0' && byte <= '9';
}

struct Decimal {
  bool negative = false;
  std::string_view digits;
};

// A sign, if any, and one or more ASCII digits, with nothing else.
std::optional<Decimal> splitDecimal(std::string_view text) {
  Decimal decimal;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    decimal.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  for (const char byte : text) {
    if (!isAsciiDigit(byte)) {
      return std::nullopt;
    }
  }
  decimal.digits = text;
  return decimal;
}

std::optional<std::int64_t> referenceParse(std::string_view text) {
  const std::optional<Decimal> decimal = splitDecimal(text);
  if (!decimal) {
    return std::nullopt;
  }
  // Any magnitude past 2^64 is out of range however many digits follow, so capping there keeps
  // the 128-bit arithmetic from overflowing on long inputs without changing the verdict.
  constexpr __int128 cap = static_cast<__int128>(1) << 64;
  __int128 magnitude = 0;
  for (const char byte : decimal->digits) {
    magnitude = magnitude * 10 + (byte - '0');
    if (magnitude > cap) {
      magnitude = cap;
    }
  }
  const __int128 value = decimal->negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int64_t>::min() ||
      value > std::numeric_limits<std::int64_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(value);
}

// What std::to_string prints for the value of an accepted text: the text without a '+' or
// leading zeros, and "0" for any zero, whatever its sign.
std::string canonicalForm(const Decimal& decimal) {
  std::string_view digits = decimal.digits;
  while (digits.size() > 1 && digits.front() == '0') {
    digits.remove_prefix(1);
  }
  std::string canonical = decimal.negative && digits != "0" ? "-" : "";
  canonical += digits;
  return canonical;
}

void checkParse(std::string_view text) {
  const std::optional<std::int64_t> parsed = parseSampleRate(text);
  require(parsed == referenceParse(text), "parse disagrees with the 128-bit reference", text);
  if (!parsed) {
    return;
  }
  const std::string printed = std::to_string(*parsed);
  require(parseSampleRate(printed) == parsed, "the printed value does not parse back", text);
  const std::optional<Decimal> decimal = splitDecimal(text);
  require(decimal && printed == canonicalForm(*decimal),
          "the value is not the one the digits spell", text);
}

void checkSettings(const Settings& settings, std::int64_t expectedRate, const char* what,
                   std::string_view text) {
  require(settings.sampleRate == expectedRate, what, text);
  require(settings.silenceChunk == expectedRate / 20, "silence chunk is not rate / 20", text);
  require(settings.silenceAfter == 0.2, "silence delay is not 0.2 s", text);
}

// A command line can carry no NUL, so the input is cut there into the first argument and a
// second one, which must make no difference.
void checkArguments(std::string_view input) {
  const std::size_t cut = input.find('\0');
  const std::string first(input.substr(0, cut));
  const std::string second(cut == std::string_view::npos ? std::string_view{}
                                                         : input.substr(cut + 1));
  const std::int64_t expectedRate = referenceParse(first).value_or(defaultSampleRate);

  const char* const one[] = {"sysaudio", first.c_str()};
  checkSettings(settingsFromArguments(one), expectedRate, "rate from one argument", input);
  // second.c_str() ends at its own first NUL, as a real argument would.
  const char* const two[] = {"sysaudio", first.c_str(), second.c_str()};
  checkSettings(settingsFromArguments(two), expectedRate, "a second argument counted", input);
}

}  // namespace
}  // namespace sysaudio

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A view of libFuzzer's own copy, which ends exactly at the last byte, so that a read past the
  // text's end is a heap overflow for AddressSanitizer rather than a glance at a terminating NUL.
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  sysaudio::checkParse(input);
  sysaudio::checkArguments(input);
  return 0;
}
