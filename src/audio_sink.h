// The one object that receives what the capture service delivers: it mixes every audio buffer
// list to mono, writes it, and keeps the stream flowing with silence while nothing arrives.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "downmix.h"
#include "platform/capture_service.h"
#include "platform/dispatch.h"
#include "settings.h"

namespace sysaudio {

class AudioSink final : public StreamOutput, public StreamDelegate {
 public:
  explicit AudioSink(const Settings& settings, Clock clock = DispatchClock::now);
  AudioSink(const AudioSink&) = delete;
  AudioSink& operator=(const AudioSink&) = delete;
  ~AudioSink() override;

  void streamDidOutputSampleBuffer(Stream& stream, const SampleBuffer& sampleBuffer,
                                   StreamOutputType type) override;
  // A stop before "ready" is a failed start and says so as the start would; after it, the line
  // says the capture stopped. A stop after a failed start adds nothing: the start's error line
  // ends the process.
  [[noreturn]] void streamDidStopWithError(Stream& stream, const CaptureError& error) override;

  // Told by the capture session, on the thread that completes the start, before it ends the
  // process with the start's error.
  void startFailed() { startHasFailed.store(true); }

  // Starts the timer that writes silence while no audio arrives; called once.
  void startSilenceFiller();
  // One tick of that timer; runs on queue.
  void fillSilence();

  // Every sample callback and every silence tick runs here, one at a time.
  SerialQueue queue;

 private:
  void mixToMono(AudioBufferList list);
  void writeSilenceBlock();
  void skipTicksThatCannotBeDue(double elapsed);

  const Settings settings;
  const Clock clock;
  // When the sink last wrote, or was created; touched only on queue.
  DispatchClock::time_point lastWrite;
  // Scratch for the frames of one list; it grows to the largest list and never shrinks.
  std::vector<float> mono;
  // Zeros enough for one silence block, or for one piece of a block too large to buffer.
  const std::vector<float> silence;
  std::unique_ptr<TimerSource> timer;
  std::atomic<bool> startHasFailed{false};
};

}  // namespace sysaudio
