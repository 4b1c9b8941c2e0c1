// The path captured audio takes from the server's real-time thread to the sink's queue. The
// real-time side copies each buffer's frames into a ring sized in time and raises a signal
// source; nothing there locks, allocates or waits. The queue side, run by that signal, hands
// everything the ring holds to the stream output, in pieces of contiguous frames.
//
// At small graph quanta (256 frames at 48 kHz last 5.3 ms) a buffer that leaves less than
// wakeInterval of audio in the ring waits there for the next one instead of waking the queue,
// which then wakes about once per wakeInterval rather than once per buffer; a timer hands over
// what is left when no buffer follows. The first buffer after a pause always wakes it at once.
//
// The ring holds stallBudget of audio at the capture's rate, whatever the graph's quantum, so a
// reader may stall that long (plus what standard output's buffer and its pipe hold) without
// losing a frame. Past that the newest audio is lost; where it was, the reader gets one silence
// block of zeros (or the lost frames' worth, if fewer), so that two pieces of sound are never
// joined without a mark.
#pragma once

#include <spa/buffer/buffer.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/capture_service.h"
#include "platform/dispatch.h"
#include "platform/pipewire/frame_ring.h"

namespace sysaudio::pipewire {

inline constexpr std::chrono::seconds stallBudget{2};
inline constexpr std::chrono::milliseconds wakeInterval{10};
// How long after a wake-up the timer hands over what is left: longer than the time between two
// wake-ups while buffers come, with room for a late one.
inline constexpr std::chrono::milliseconds leftoversDelay = 3 * wakeInterval;

// Frames the ring holds at rate: stallBudget of them.
std::size_t ringFrames(std::int64_t rate);

// A run of interleaved frames, as a sample buffer of one buffer.
class InterleavedSampleBuffer final : public SampleBuffer {
 public:
  InterleavedSampleBuffer(const float* samples, std::size_t frames, std::size_t channels);

  bool isValid() const override { return true; }
  std::optional<CaptureError> withAudioBufferList(
      const std::function<void(AudioBufferList)>& body) const override;

 private:
  AudioBuffer buffer_;
};

// How the frames of a server buffer become the frames the ring carries, when their channels
// differ: plain arithmetic over inputChannels interleaved floats a frame, fit for the real-time
// thread. None (a null fold) when the buffer's frames are carried as they are.
struct FrameFold {
  std::size_t inputChannels = 0;
  void (*fold)(const float* inputs, std::size_t frames, float* outputs) = nullptr;
};

class CaptureHandOver {
 public:
  // Allocates and touches all its memory; output is called on queue, as stream's. rate is at
  // least 1 and channels at least 1; a fold, when given, makes frames of channels each.
  CaptureHandOver(std::int64_t rate, std::size_t channels, Stream& stream, StreamOutput& output,
                  SerialQueue& queue, FrameFold fold = {});
  CaptureHandOver(const CaptureHandOver&) = delete;
  CaptureHandOver& operator=(const CaptureHandOver&) = delete;
  // Stops the queue side; once it returns, no delivery runs or will run.
  ~CaptureHandOver();

  std::size_t channels() const { return ring_.channels(); }

  // On the real-time thread: the frames of a server buffer of interleaved floats, read only
  // within the buffer's bounds.
  void take(const spa_buffer& buffer);

  // On the queue: hands over everything the ring holds now. The signal and the timer run it;
  // whoever else must see the audio out first (a stop) may run it too.
  void deliverReady();

  std::uint64_t framesLost() const { return ring_.framesLost(); }

 private:
  void onReady();
  void onLeftovers();
  void deliver(const float* samples, std::size_t frames);
  void markLoss(std::size_t frames);
  std::size_t write(const float* samples, std::size_t frames);

  Stream& stream_;
  StreamOutput& output_;
  const std::size_t lossMarkFrames_;
  const std::size_t wakeFrames_;
  FrameRing ring_;
  const FrameFold fold_;
  // Where a fold puts a piece of a buffer on its way into the ring.
  std::vector<float> folded_;
  // Zeros for a loss's mark, handed over piece by piece.
  const std::vector<float> zeros_;
  // The frames of the last buffer taken.
  std::atomic<std::size_t> lastBufferFrames_{0};
  // Whether the timer is set to hand over what the last buffers left in the ring. Changed and
  // read by read-modify-writes only, on both sides, so that each one sees what the one before it
  // did.
  std::atomic<int> leftoversTimerSet_{0};
  // Declared last: they stop before what their handlers use goes.
  TimerSource leftovers_;
  SignalSource ready_;
};

}  // namespace sysaudio::pipewire
