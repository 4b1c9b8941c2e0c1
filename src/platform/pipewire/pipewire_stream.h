// The capture on the PipeWire server: one input stream of its own, with links from the output
// ports of every playback stream it may take, so that the server mixes them as an output device
// would and resamples the mix to the configured rate.
#pragma once

#include <spa/param/audio/raw.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pipewire/capture_links.h"
#include "platform/pipewire/pipewire_connection.h"
#include "platform/pipewire/pipewire_handles.h"
#include "platform/pipewire/sample_slots.h"

namespace sysaudio::pipewire {

// What the capture session configured; only the audio settings mean anything here.
struct CaptureSettings {
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  std::int64_t sampleRate = 0;
};

// The rates the server's converter serves: its buffers hold at most 8192 frames, which at the
// graph's usual quantum of 2048 frames at 48 kHz allows four times 48 kHz.
inline constexpr std::int64_t lowestSampleRate = 1;
inline constexpr std::int64_t highestSampleRate = 192000;

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
  static void onProcess(void* data);
  static void onStartTimeout(void* data, std::uint64_t expirations);

  void graphChanged() override;
  void connectionLost(const std::string& description) override;

  std::optional<CaptureError> connectStream();
  void finishStart(std::optional<CaptureError> error);
  void fail(const std::string& description);
  void updateLinks();
  std::optional<std::vector<std::string>> linkedSource(std::uint32_t id);
  bool takesNode(std::uint32_t id, const GraphNode& node);
  std::optional<bool> checkedProcessesAreOurs();

  void handOver(const spa_buffer& buffer);
  void deliver(std::size_t slot);

  PipeWireConnection* connection_;
  StreamDelegate& delegate_;
  const CaptureSettings settings_;
  // The processes whose streams stay out, with everything they started.
  std::vector<pid_t> excludedProcesses_;

  // Set before the capture starts, read by the real-time thread afterwards.
  StreamOutput* audioOutput_ = nullptr;
  SerialQueue* audioQueue_ = nullptr;
  SampleSlots slots_;

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
