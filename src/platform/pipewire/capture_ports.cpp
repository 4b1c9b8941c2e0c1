#include "platform/pipewire/capture_ports.h"

#include <algorithm>
#include <charconv>

namespace sysaudio::pipewire {

namespace {

using Inputs = std::vector<CaptureInput>;

constexpr std::array<std::string_view, 11> leftSurroundPositions = {
    "SL", "RL", "FLC", "RLC", "FLW", "FLH", "TFL", "TSL", "TRL", "TFLC", "BLC"};
constexpr std::array<std::string_view, 11> rightSurroundPositions = {
    "SR", "RR", "FRC", "RRC", "FRW", "FRH", "TFR", "TSR", "TRR", "TFRC", "BRC"};
constexpr std::array<std::string_view, 7> centrePositions = {"FC",  "RC",  "TC", "TFC",
                                                             "TRC", "FCH", "BC"};
constexpr std::array<std::string_view, 4> lowFrequencyPositions = {"LFE", "LFE2", "LLFE", "RLFE"};

bool contains(const auto& positions, std::string_view channel) {
  return std::find(positions.begin(), positions.end(), channel) != positions.end();
}

// The inputs a channel feeds by its position alone.
Inputs inputsOfPosition(std::string_view channel) {
  if (channel == "FL") {
    return {CaptureInput::frontLeft};
  }
  if (channel == "FR") {
    return {CaptureInput::frontRight};
  }
  if (contains(lowFrequencyPositions, channel)) {
    return {CaptureInput::lowFrequency};
  }
  if (contains(leftSurroundPositions, channel)) {
    return {CaptureInput::surroundLeft};
  }
  if (contains(rightSurroundPositions, channel)) {
    return {CaptureInput::surroundRight};
  }
  if (contains(centrePositions, channel)) {
    return {CaptureInput::centre};
  }
  // Positionless channels alternate, as a device would lay them out.
  if (channel.starts_with("AUX")) {
    unsigned index = 0;
    const auto digits = channel.substr(3);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (error == std::errc() && end == digits.data() + digits.size()) {
      return {index % 2 == 0 ? CaptureInput::frontLeft : CaptureInput::frontRight};
    }
  }
  // MONO, and whatever has no place: both sides, at full level.
  return {CaptureInput::frontLeft, CaptureInput::frontRight};
}

Inputs inputsOfPort(std::span<const std::string> source, std::string_view channel) {
  const bool monoSource = source.size() == 1 && source.front() == "MONO";
  if (contains(source, channel) || (monoSource && (channel == "FL" || channel == "FR"))) {
    return inputsOfPosition(channel);
  }
  if (channel == "MONO") {
    return {CaptureInput::centre};
  }
  return {};
}

}  // namespace

std::vector<std::vector<CaptureInput>> captureInputsFor(
    std::span<const std::string> sourcePositions, std::span<const std::string> portChannels) {
  std::vector<Inputs> inputs;
  for (const std::string& channel : portChannels) {
    inputs.push_back(sourcePositions.empty() ? inputsOfPosition(channel)
                                             : inputsOfPort(sourcePositions, channel));
  }
  if (std::all_of(inputs.begin(), inputs.end(), [](const Inputs& fed) { return fed.empty(); })) {
    inputs.clear();
    for (const std::string& channel : portChannels) {
      inputs.push_back(inputsOfPosition(channel));
    }
  }
  return inputs;
}

}  // namespace sysaudio::pipewire
