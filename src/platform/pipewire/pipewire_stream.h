// The capture on the PipeWire server: one input stream of its own, with links from the output
// ports of every playback stream it may take, so that the server mixes them as an output device
// would and resamples the mix to the configured rate.
#pragma once

#include <spa/param/audio/raw.h>
#include <spa/pod/pod.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pipewire/capture_hand_over.h"
#include "platform/pipewire/capture_links.h"
#include "platform/pipewire/pipewire_connection.h"
#include "platform/pipewire/pipewire_handles.h"

namespace sysaudio::pipewire {

// What the capture session configured; only the audio settings mean anything here.
struct CaptureSettings {
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  std::int64_t sampleRate = 0;
};

// The rates served whole. The converter holds back the last 25 or so frames of a sound once
// the sound's stream has gone (measured on PipeWire 0.3.65: 24 frames, 3 % of a 2 s tone, at
// 400 Hz with a quantum of 256; 11 % at 100 Hz); from 8000 Hz, the lowest rate in common use,
// that is at most 3 ms. The highest is the highest rate audio hardware runs at (0.3.65's
// converter also crashes the client at a rate of 2^31 - 1).
inline constexpr std::int64_t lowestSampleRate = 8000;
inline constexpr std::int64_t highestSampleRate = 192000;

// The frames the largest server buffer must hold at rate: two graph quanta of the server's
// default limit (8192 frames at 48 kHz) resampled to rate, the second for the converter's
// adaptive resampling and for graphs that run slower than 48 kHz.
std::size_t largestBufferFrames(std::int64_t rate);

// The hand-over as the capture stream makes it: its server buffers carry captureInputCount
// interleaved inputs a frame, which reach output folded to the stereo pair the sink averages.
std::unique_ptr<CaptureHandOver> makeCaptureHandOver(std::int64_t rate, Stream& stream,
                                                     StreamOutput& output, SerialQueue& queue);

class PipeWireStream final : public Stream, private GraphObserver {
 public:
  // connection may be null when the server was never reached; the start then fails.
  PipeWireStream(PipeWireConnection* connection, const ContentFilter& filter,
                 const CaptureSettings& settings, StreamDelegate& delegate);
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;
  ~PipeWireStream() override;

  bool addStreamOutput(StreamOutput& output, StreamOutputType type, SerialQueue& queue,
                       std::optional<CaptureError>& error) override;
  void startCapture(StartCompletion completion) override;

 private:
  static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                             const char* error);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onProcess(void* data);
  static void onStartTimeout(void* data, std::uint64_t expirations);

  void graphChanged() override;
  void connectionLost(const std::string& description) override;

  std::optional<CaptureError> connectStream();
  void allowLargestBuffers();
  void useFormat(const spa_pod& param);
  void finishStart(std::optional<CaptureError> error);
  void fail(const std::string& description);
  void updateLinks();
  std::optional<std::vector<std::string>> linkedSource(std::uint32_t id);
  bool takesNode(std::uint32_t id, const GraphNode& node);
  std::optional<bool> checkedProcessesAreOurs();

  PipeWireConnection* connection_;
  StreamDelegate& delegate_;
  const CaptureSettings settings_;
  // The processes whose streams stay out, with everything they started.
  std::vector<pid_t> excludedProcesses_;

  StreamOutput* audioOutput_ = nullptr;
  SerialQueue* audioQueue_ = nullptr;
  // Set before the stream connects, used by the real-time thread until the stream is gone.
  std::unique_ptr<CaptureHandOver> handOver_;

  StartCompletion startCompletion_;
  LoopSourceHandle startTimer_;
  // Set once the start has failed or the stop has been reported: a stream has one outcome, and
  // whatever befalls it afterwards, such as the error state that follows a lost connection, is
  // part of the same end.
  bool ended_ = false;
  std::uint32_t nodeID_ = SPA_ID_INVALID;
  // Decisions about playback streams, taken once each when their owner is known.
  std::map<std::uint32_t, bool> takenNodes_;
  // Whether the server's checked pids are this process's, once its own client is known.
  std::optional<bool> checkedProcessesAreOurs_;
  std::optional<CaptureLinks> links_;

  StreamHandle stream_;
  Hook streamHook_;
};

}  // namespace sysaudio::pipewire
