// The mono downmix of one sample buffer's list of audio buffers.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/sample_buffer.h"

namespace sysaudio {

// Averages the channels of the list into mono[0, F) and returns F, the list's frame count, or
// no value when the list is unusable (no buffers, or a first buffer without data). One buffer
// holds interleaved channels, each frame's sum divided by the channel count; two or more hold
// one channel each, summed in list order and multiplied by 1 / n. The arithmetic is single
// precision, one operation at a time, in that order, so the same list always gives the same
// bits. mono grows to F when it is smaller and otherwise keeps its size.
std::optional<std::size_t> downmixToMono(AudioBufferList list, std::vector<float>& mono);

}  // namespace sysaudio
