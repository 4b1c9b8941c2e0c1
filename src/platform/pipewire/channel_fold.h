// The fold of the capture's inputs to the stereo pair that the sink averages.
#pragma once

#include <cstddef>

#include "platform/pipewire/capture_ports.h"

namespace sysaudio::pipewire {

// The coefficients of the server's own downmix to a stereo device, measured on PipeWire 0.3.65:
// the front pair at full level, the centre and each side's surround at -3 dB, the LFE at -9 dB
// into both sides. Folding with them, a multichannel stream comes through at the level it has on
// a stereo device.
inline constexpr float foldCentre = 0.70710678f;
inline constexpr float foldSurround = 0.70710678f;
inline constexpr float foldLowFrequency = 0.35355339f;

// Folds frames of the capture's interleaved inputs (captureInputCount each, in CaptureInput
// order) into interleaved stereo frames. Plain arithmetic: fit for the real-time thread.
void foldToStereo(const float* inputs, std::size_t frames, float* stereo);

}  // namespace sysaudio::pipewire
