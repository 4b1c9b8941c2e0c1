// Which of the capture's two input ports a playback stream's output port feeds, so that the
// server mixes every stream into one stereo pair as an output device would.
#pragma once

#include <string_view>
#include <vector>

namespace sysaudio::pipewire {

// The channel positions of the capture's input ports.
inline constexpr std::string_view captureLeft = "FL";
inline constexpr std::string_view captureRight = "FR";

// Left-hand positions feed the left port, right-hand ones the right port; centre, mono, LFE and
// unknown positions feed both. The answer depends on the port alone, since a node's ports
// appear one by one.
std::vector<std::string_view> capturePortsFor(std::string_view channel);

}  // namespace sysaudio::pipewire
