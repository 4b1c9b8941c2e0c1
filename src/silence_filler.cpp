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
  auto filler = std::make_unique<TimerSource>(queue);
  filler->schedule(DispatchClock::now() + silenceTickInterval, silenceTickInterval);
  // The sink owns the timer and cancels it before it goes, so a tick never outlives the sink.
  filler->setEventHandler([this] { fillSilence(); });
  filler->resume();
  timer = std::move(filler);
}

void AudioSink::fillSilence() {
  const std::chrono::duration<double> elapsed = clock() - lastWrite;
  if (!(elapsed.count() >= settings.silenceAfter)) {
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

void AudioSink::writeSilenceBlock() {
  for (std::int64_t remaining = settings.silenceChunk; remaining > 0;) {
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(remaining, std::ssize(silence)));
    writeSamples({silence.data(), count});
    remaining -= static_cast<std::int64_t>(count);
  }
}

}  // namespace sysaudio
