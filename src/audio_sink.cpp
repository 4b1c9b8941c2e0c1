#include "audio_sink.h"

#include "capture_session.h"
#include "sample_output.h"
#include "silence_filler.h"
#include "status.h"

namespace sysaudio {

AudioSink::AudioSink(const Settings& settings, Clock clock)
    : queue("murvane.sysaudio"),
      settings(settings),
      clock(std::move(clock)),
      lastWrite(this->clock()),
      silence(silenceBlockStorage(settings.silenceChunk), 0.0f) {}

AudioSink::~AudioSink() {
  // No tick may find the sink half gone, and work already queued for it runs first. A tick reads
  // the timer's pointer to defer itself, so the timer stops before the pointer is cleared.
  if (timer) {
    timer->cancel();
  }
  timer.reset();
  if (!queue.isCurrent()) {
    queue.sync([] {});
  }
}

void AudioSink::streamDidOutputSampleBuffer(Stream&, const SampleBuffer& sampleBuffer,
                                            StreamOutputType type) {
  if (type != StreamOutputType::audio) {
    return;
  }
  if (!sampleBuffer.isValid()) {
    return;
  }
  // A buffer whose list cannot be had is dropped without a word, like any unusable buffer.
  (void)sampleBuffer.withAudioBufferList([this](AudioBufferList list) { mixToMono(list); });
}

void AudioSink::streamDidStopWithError(Stream&, const CaptureError& error) {
  if (startHasFailed.load()) {
    // The session is ending the process with the start's error line; this thread waits for it.
    parkMainThreadForever();
  }
  failBeforeOrAfterReady(startFailureMessage(error),
                         "capture stopped: " + error.localizedDescription);
}

void AudioSink::mixToMono(AudioBufferList list) {
  const std::optional<std::size_t> frames = downmixToMono(list, mono);
  if (!frames) {
    return;
  }
  writeSamples({mono.data(), *frames});
  lastWrite = clock();
}

}  // namespace sysaudio
