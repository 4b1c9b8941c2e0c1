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
      silence(silenceBlockStorage(settings.silenceChunk), 0.0f),
      // Made now, not when it starts, so that the writes below may defer it from the first
      // buffer on without racing its creation.
      timer(std::make_unique<TimerSource>(queue)) {
  // The sink owns the timer and cancels it before it goes, so a tick never outlives the sink.
  timer->setEventHandler([this] { fillSilence(); });
}

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
  // No silence can be due for silenceAfter now, so the queue's thread need not wake for the
  // timer while audio keeps coming.
  skipTicksThatCannotBeDue(0.0);
}

}  // namespace sysaudio
