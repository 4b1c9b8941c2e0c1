#include "platform/pipewire/pipewire_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/buffers.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "platform/dispatch.h"
#include "platform/pipewire/channel_fold.h"
#include "platform/pipewire/link_policy.h"
#include "platform/pipewire/process_tree.h"
#include "platform/pipewire/stream_owner.h"

namespace sysaudio::pipewire {

namespace {

// What reaches the sink: the capture's inputs folded to stereo.
constexpr std::size_t captureChannels = 2;
constexpr std::array<spa_audio_channel, captureInputCount> captureInputChannels = {
    SPA_AUDIO_CHANNEL_FL,  SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC,
    SPA_AUDIO_CHANNEL_LFE, SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR};
constexpr std::int64_t startTimeoutSeconds = 5;
// The server's default largest quantum (default.clock.quantum-limit), which clock.force-quantum
// cannot pass, at the rate its graph usually runs.
constexpr std::int64_t quantumLimit = 8192;
constexpr std::int64_t usualGraphRate = 48000;

CaptureError serviceError(std::string description) {
  return CaptureError{"PipeWire", 0, std::move(description)};
}

}  // namespace

std::size_t largestBufferFrames(std::int64_t rate) {
  const std::int64_t frames = 2 * quantumLimit * rate;
  return static_cast<std::size_t>((frames + usualGraphRate - 1) / usualGraphRate);
}

std::unique_ptr<CaptureHandOver> makeCaptureHandOver(std::int64_t rate, Stream& stream,
                                                     StreamOutput& output, SerialQueue& queue) {
  return std::make_unique<CaptureHandOver>(rate, captureChannels, stream, output, queue,
                                           FrameFold{captureInputCount, &foldToStereo});
}

PipeWireStream::PipeWireStream(PipeWireConnection* connection, const ContentFilter& filter,
                               const CaptureSettings& settings, StreamDelegate& delegate)
    : connection_(connection), delegate_(delegate), settings_(settings) {
  for (const RunningApplication& application : filter.excludedApplications) {
    excludedProcesses_.push_back(application.processID);
  }
  if (settings_.excludesCurrentProcessAudio) {
    excludedProcesses_.push_back(getpid());
  }
}

PipeWireStream::~PipeWireStream() {
  if (connection_ != nullptr) {
    LoopLock lock(connection_->threadLoop());
    connection_->setObserver(nullptr);
    streamHook_.remove();
    stream_.reset();
    links_.reset();
    startTimer_.reset();
  }
  // The real-time thread is gone with the stream; now the queue side stops.
  handOver_.reset();
  // A stop already queued refers to this stream; let it through first.
  if (audioQueue_ != nullptr && !audioQueue_->isCurrent()) {
    audioQueue_->sync([] {});
  }
}

bool PipeWireStream::addStreamOutput(StreamOutput& output, StreamOutputType type,
                                     SerialQueue& queue, std::optional<CaptureError>&) {
  // There is no picture on this platform; a screen output is accepted and never called.
  if (type == StreamOutputType::audio) {
    audioOutput_ = &output;
    audioQueue_ = &queue;
  }
  return true;
}

void PipeWireStream::startCapture(StartCompletion completion) {
  if (settings_.sampleRate < lowestSampleRate || settings_.sampleRate > highestSampleRate) {
    completion(serviceError("cannot capture at " + std::to_string(settings_.sampleRate) +
                            " Hz: the rate must be from " + std::to_string(lowestSampleRate) +
                            " to " + std::to_string(highestSampleRate) + " Hz"));
    return;
  }
  if (connection_ == nullptr) {
    completion(serviceError("not connected to the PipeWire server"));
    return;
  }
  LoopLock lock(connection_->threadLoop());
  if (!connection_->lostDescription().empty()) {
    completion(serviceError(connection_->lostDescription()));
    return;
  }
  startCompletion_ = std::move(completion);
  if (audioQueue_ != nullptr) {
    handOver_ = makeCaptureHandOver(settings_.sampleRate, *this, *audioOutput_, *audioQueue_);
  }
  if (std::optional<CaptureError> error = connectStream()) {
    finishStart(std::move(error));
    return;
  }
  pw_loop* loop = pw_thread_loop_get_loop(connection_->threadLoop());
  links_.emplace(connection_->core(), loop, [this] { updateLinks(); });
  startTimer_ =
      LoopSourceHandle(pw_loop_add_timer(loop, &onStartTimeout, this), LoopSourceDeleter{loop});
  timespec timeout{startTimeoutSeconds, 0};
  pw_loop_update_timer(loop, startTimer_.get(), &timeout, nullptr, false);
  connection_->setObserver(this);
}

std::optional<CaptureError> PipeWireStream::connectStream() {
  // No automatic connection: the session manager leaves the stream alone, and the only links
  // into it are the ones made here.
  allowLargestBuffers();
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, "sysaudio",
      PW_KEY_NODE_DESCRIPTION, "sysaudio system audio capture", PW_KEY_NODE_AUTOCONNECT, "false",
      PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
  stream_.reset(pw_stream_new(connection_->core(), "sysaudio", props));
  if (!stream_) {
    return serviceError(std::string("cannot create the capture stream: ") + std::strerror(errno));
  }
  static const pw_stream_events events = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &PipeWireStream::onStateChanged;
    events.param_changed = &PipeWireStream::onParamChanged;
    events.process = &PipeWireStream::onProcess;
    return events;
  }();
  pw_stream_add_listener(stream_.get(), streamHook_.get(), &events, this);

  // One input per position that the fold weighs on its own, interleaved at the configured rate:
  // the server resamples, the hand-over folds to stereo, the sink averages.
  std::uint8_t podStorage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podStorage, sizeof podStorage);
  spa_audio_info_raw format{};
  format.format = SPA_AUDIO_FORMAT_F32;
  format.rate = static_cast<std::uint32_t>(settings_.sampleRate);
  format.channels = captureInputCount;
  std::copy(captureInputChannels.begin(), captureInputChannels.end(), format.position);
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};

  const int result = pw_stream_connect(
      stream_.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params,
      1);
  if (result < 0) {
    return serviceError(std::string("cannot connect the capture stream: ") + spa_strerror(result));
  }
  return std::nullopt;
}

// The converter that resamples for the stream runs in this process and makes at most its
// context's quantum limit of frames per graph cycle: the default of 8192 holds a cycle of 8192
// frames at 48 kHz only up to a rate of 48000, and the rest of each cycle would be lost. The
// limit rises with the rate, never below the default, so that the usual rates cost no memory.
void PipeWireStream::allowLargestBuffers() {
  const std::size_t frames = largestBufferFrames(settings_.sampleRate);
  if (frames <= static_cast<std::size_t>(quantumLimit)) {
    return;
  }
  const std::string limit = std::to_string(frames);
  const spa_dict_item item = SPA_DICT_ITEM_INIT("default.clock.quantum-limit", limit.c_str());
  const spa_dict dict = SPA_DICT_INIT(&item, 1);
  pw_context_update_properties(connection_->context(), &dict);
}

// The server settles the format before the stream pauses. It can only be the one offered; the
// buffers are then sized for the largest quantum the graph may run at, resampled to the rate
// (the server's default would hold 8192 frames, a quarter of a forced 8192 at 192 kHz).
void PipeWireStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format || param == nullptr) {
    return;
  }
  static_cast<PipeWireStream*>(data)->useFormat(*param);
}

void PipeWireStream::useFormat(const spa_pod& param) {
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  spa_audio_info_raw format{};
  if (spa_format_parse(&param, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_audio_raw_parse(&param, &format) < 0 || format.format != SPA_AUDIO_FORMAT_F32 ||
      format.rate != static_cast<std::uint32_t>(settings_.sampleRate) ||
      format.channels != captureInputCount) {
    fail("the PipeWire server chose a format other than the one offered");
    return;
  }
  const auto stride = static_cast<std::int32_t>(captureInputCount * sizeof(float));
  const auto size = static_cast<std::int32_t>(largestBufferFrames(settings_.sampleRate)) * stride;
  std::uint8_t podStorage[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podStorage, sizeof podStorage);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
  spa_pod_builder_int(&builder, 1);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_size, 0);
  spa_pod_builder_int(&builder, size);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
  spa_pod_builder_int(&builder, stride);
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame))};
  pw_stream_update_params(stream_.get(), params, 1);
}

void PipeWireStream::finishStart(std::optional<CaptureError> error) {
  startTimer_.reset();
  ended_ = error.has_value();
  if (StartCompletion completion = std::exchange(startCompletion_, nullptr)) {
    completion(std::move(error));
  }
}

void PipeWireStream::onStartTimeout(void* data, std::uint64_t) {
  static_cast<PipeWireStream*>(data)->fail("the PipeWire server did not start the capture stream");
}

void PipeWireStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                    const char* error) {
  auto& self = *static_cast<PipeWireStream*>(data);
  switch (state) {
    case PW_STREAM_STATE_PAUSED:
    case PW_STREAM_STATE_STREAMING:
      if (self.startCompletion_) {
        self.nodeID_ = pw_stream_get_node_id(self.stream_.get());
        self.finishStart(std::nullopt);
        self.updateLinks();
      }
      return;
    case PW_STREAM_STATE_ERROR:
      self.fail(std::string("the capture stream failed: ") +
                (error != nullptr ? error : "unknown error"));
      return;
    case PW_STREAM_STATE_UNCONNECTED:
      // The stream never disconnects by itself: with no error, someone removed its node from
      // the server, and no audio will ever reach it again.
      self.fail(error != nullptr ? std::string("the capture stream failed: ") + error
                                 : std::string("the capture stream was removed from the audio "
                                               "server"));
      return;
    case PW_STREAM_STATE_CONNECTING:
      return;
  }
}

void PipeWireStream::connectionLost(const std::string& description) {
  fail(description);
}

// Before the start completes, a failure is the start's; afterwards it is a stop. Either is
// reported once, and nothing after it.
void PipeWireStream::fail(const std::string& description) {
  if (ended_) {
    return;
  }
  if (startCompletion_) {
    finishStart(serviceError(description));
    return;
  }
  ended_ = true;
  const CaptureError error = serviceError(description);
  // On the sink's queue, after the audio already handed over, so that no write of samples is
  // cut short by the end of the process.
  if (audioQueue_ != nullptr) {
    audioQueue_->async([this, error] {
      if (handOver_) {
        handOver_->deliverReady();
      }
      delegate_.streamDidStopWithError(*this, error);
    });
    return;
  }
  delegate_.streamDidStopWithError(*this, error);
}

void PipeWireStream::graphChanged() {
  if (startCompletion_ || nodeID_ == SPA_ID_INVALID) {
    return;
  }
  updateLinks();
}

void PipeWireStream::updateLinks() {
  std::erase_if(takenNodes_,
                [this](const auto& entry) { return !connection_->nodes().contains(entry.first); });
  if (!links_) {
    return;
  }
  if (!settings_.capturesAudio) {
    links_->update({}, connection_->ports(), nodeID_);
    return;
  }
  const std::vector<PortPair> wanted =
      wantedLinks(connection_->ports(), connection_->links(), nodeID_,
                  [this](std::uint32_t id) { return linkedSource(id); });
  links_->update(wanted, connection_->ports(), nodeID_);
}

// The channels of a node whose ports are to be linked: an application's playback stream that is
// not excluded, whose format has been listed.
std::optional<std::vector<std::string>> PipeWireStream::linkedSource(std::uint32_t id) {
  const auto node = connection_->nodes().find(id);
  if (node == connection_->nodes().end() || !takesNode(id, *node->second) ||
      !node->second->formatListed()) {
    return std::nullopt;
  }
  return node->second->sourcePositions();
}

bool PipeWireStream::takesNode(std::uint32_t id, const GraphNode& node) {
  if (id == nodeID_ || !node.described() ||
      !isApplicationPlayback(node.mediaClass(), node.linkGroup())) {
    return false;
  }
  if (const auto decided = takenNodes_.find(id); decided != takenNodes_.end()) {
    return decided->second;
  }
  // Not yet known whose it is: decide once it is.
  const std::optional<bool> checkedAreOurs = checkedProcessesAreOurs();
  if (!checkedAreOurs) {
    return false;
  }
  ClientIdentity identity;
  if (node.clientID()) {
    const GraphClient* client = connection_->client(*node.clientID());
    if (client != nullptr && !client->described()) {
      return false;
    }
    if (client != nullptr) {
      identity = client->identity();
    }
  }
  const std::optional<pid_t> owner =
      streamOwner(identity, node.reportedProcessID(), *checkedAreOurs);
  const bool taken = !owner || !belongsToProcessTrees(*owner, excludedProcesses_);
  takenNodes_[id] = taken;
  return taken;
}

// Known once the capture's own node and its client are.
std::optional<bool> PipeWireStream::checkedProcessesAreOurs() {
  if (checkedProcessesAreOurs_) {
    return checkedProcessesAreOurs_;
  }
  const auto own = connection_->nodes().find(nodeID_);
  if (own == connection_->nodes().end() || !own->second->clientID()) {
    return std::nullopt;
  }
  const GraphClient* client = connection_->client(*own->second->clientID());
  if (client == nullptr || !client->described()) {
    return std::nullopt;
  }
  checkedProcessesAreOurs_ = pipewire::checkedProcessesAreOurs(client->identity(), getpid());
  return checkedProcessesAreOurs_;
}

// On the server's real-time thread: copy the frames out and give the buffer straight back.
void PipeWireStream::onProcess(void* data) {
  auto& self = *static_cast<PipeWireStream*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(self.stream_.get());
  if (buffer == nullptr) {
    return;
  }
  if (self.handOver_) {
    self.handOver_->take(*buffer->buffer);
  }
  pw_stream_queue_buffer(self.stream_.get(), buffer);
}

}  // namespace sysaudio::pipewire
