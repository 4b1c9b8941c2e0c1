#include "silence_filler.h"

#include <algorithm>

#include "audio_sink.h"
#include "sample_output.h"

namespace sysaudio {

std::size_t silenceBlockStorage(std::int64_t silenceChunk) {
  constexpr auto largest = static_cast<std::int64_t>(sampleOutputBufferSize / sizeof(float));
  return static_cast<std::size_t>(std::clamp<std::int64_t>(silenceChunk, 0, largest));
}

void AudioSink::startSilenceFiller() {
  timer->schedule(DispatchClock::now() + silenceTickInterval, silenceTickInterval);
  timer->resume();
}

void AudioSink::fillSilence() {
  const std::chrono::duration<double> elapsed = clock() - lastWrite;
  if (!(elapsed.count() >= settings.silenceAfter)) {
    skipTicksThatCannotBeDue(elapsed.count());
    return;
  }
  writeSilenceBlock();
  // Leaving the stamp silenceAfter - 50 ms back makes the next tick due again, so blocks follow
  // each other while the silence lasts. A block that is empty or negative writes nothing but
  // moves the stamp all the same.
  const std::chrono::duration<double> offset(
      std::chrono::duration<double>(silenceTickInterval).count() - settings.silenceAfter);
  lastWrite = clock() + std::chrono::duration_cast<DispatchClock::duration>(offset);
}

// No tick is due before the stamp is silenceAfter old, and any write only moves the stamp later,
// so the timer may sleep until then: while audio flows the queue's thread never wakes for a
// tick, and every block still comes at the tick it always came at. The margin keeps a tick that
// falls just at the moment from being skipped by the time the clock took to read.
void AudioSink::skipTicksThatCannotBeDue(double elapsed) {
  if (!timer || !(elapsed < settings.silenceAfter)) {
    return;
  }
  const std::chrono::duration<double> remaining(settings.silenceAfter - elapsed);
  timer->deferUntil(DispatchClock::now() +
                    std::chrono::duration_cast<DispatchClock::duration>(remaining) -
                    std::chrono::milliseconds(1));
}

void AudioSink::writeSilenceBlock() {
  for (std::int64_t remaining = settings.silenceChunk; remaining > 0;) {
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(remaining, std::ssize(silence)));
    writeSamples({silence.data(), count});
    remaining -= static_cast<std::int64_t>(count);
  }
}

}  // namespace sysaudio
