// Standard output carries nothing but samples: mono 32-bit floats in native (little-endian)
// byte order, no header, no framing.
#pragma once

#include <cstddef>
#include <span>

namespace sysaudio {

// Standard output's buffer, in bytes, set before anything is written.
inline constexpr std::size_t sampleOutputBufferSize = 65536;

// Gives standard output full buffering with a buffer of sampleOutputBufferSize bytes.
void setUpSampleOutput();

// Appends the samples to standard output and flushes them. When standard output cannot take
// them, its reader has gone: the process ends with status 0 and says nothing.
void writeSamples(std::span<const float> samples);

}  // namespace sysaudio
