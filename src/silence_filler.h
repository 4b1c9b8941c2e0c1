// While the capture delivers nothing, a timer on the sink's queue writes blocks of zeros so
// that the reader keeps receiving data.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sysaudio {

// How often the timer looks, how long after the start it looks first, and where a block
// leaves the write stamp: 50 ms each, whatever the rate.
inline constexpr std::chrono::milliseconds silenceTickInterval{50};

// How many zeros the sink keeps for its blocks: a whole block, but never more than standard
// output's buffer holds, so that no rate can make it allocate without bound; a larger block
// goes out in pieces of this size. None for a block that is empty or negative.
std::size_t silenceBlockStorage(std::int64_t silenceChunk);

}  // namespace sysaudio
