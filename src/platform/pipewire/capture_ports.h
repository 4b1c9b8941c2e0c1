// Which of the capture's input ports a playback stream's output port feeds.
//
// A stream's output ports follow the layout of the device it plays to: its own converter has
// already mixed the application's channels to that layout, so a stereo stream on a 5.1 device
// has six ports, four of them made up. Only the ports that carry channels the application really
// has are taken, each into the input of its position, and the capture folds its inputs to stereo
// (channel_fold) as the server itself downmixes to a stereo device. So a stream comes through at
// the same level whatever device it plays to.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sysaudio::pipewire {

// The capture's inputs, in the order of its interleaved frames.
enum class CaptureInput : std::size_t {
  frontLeft,
  frontRight,
  centre,
  lowFrequency,
  surroundLeft,
  surroundRight,
};

inline constexpr std::size_t captureInputCount = 6;

// The channel position of each input, as the server names it on ports.
inline constexpr std::array<std::string_view, captureInputCount> captureInputPositions = {
    "FL", "FR", "FC", "LFE", "RL", "RR"};

// For each of a stream's output ports (portChannels, their positions), the inputs it feeds.
// sourcePositions are the channels of the stream's own format, empty when it is not known:
// - a port whose position the source has feeds the input of that position (side channels
//   other than the front pair count as surrounds; MONO feeds both front inputs);
// - a mono source's front pair carries it at full level on any device, and feeds the front
//   inputs;
// - a MONO port of a source that is not mono is the server's downmix at +3 dB, and feeds the
//   centre input, which the fold takes at -3 dB into both sides;
// - the other ports carry channels the server made up, and feed nothing.
// When the source is unknown, or none of its ports would feed anything, every port feeds the
// input of its own position.
std::vector<std::vector<CaptureInput>> captureInputsFor(
    std::span<const std::string> sourcePositions, std::span<const std::string> portChannels);

}  // namespace sysaudio::pipewire
