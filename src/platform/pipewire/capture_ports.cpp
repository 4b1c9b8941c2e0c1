#include "platform/pipewire/capture_ports.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace sysaudio::pipewire {

namespace {

constexpr std::array<std::string_view, 13> leftPositions = {
    "FL", "SL", "RL", "FLC", "RLC", "FLW", "FLH", "TFL", "TSL", "TRL", "TFLC", "BLC", "LLFE"};
constexpr std::array<std::string_view, 13> rightPositions = {
    "FR", "SR", "RR", "FRC", "RRC", "FRW", "FRH", "TFR", "TSR", "TRR", "TFRC", "BRC", "RLFE"};

bool contains(const auto& positions, std::string_view channel) {
  return std::find(positions.begin(), positions.end(), channel) != positions.end();
}

}  // namespace

std::vector<std::string_view> capturePortsFor(std::string_view channel) {
  if (contains(leftPositions, channel)) {
    return {captureLeft};
  }
  if (contains(rightPositions, channel)) {
    return {captureRight};
  }
  // Positionless channels alternate, as a device would lay them out.
  if (channel.starts_with("AUX")) {
    unsigned index = 0;
    const auto digits = channel.substr(3);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (error == std::errc() && end == digits.data() + digits.size()) {
      return {index % 2 == 0 ? captureLeft : captureRight};
    }
  }
  return {captureLeft, captureRight};
}

}  // namespace sysaudio::pipewire
