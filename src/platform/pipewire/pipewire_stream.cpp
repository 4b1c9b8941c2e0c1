#include "platform/pipewire/pipewire_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "platform/dispatch.h"
#include "platform/pipewire/capture_ports.h"
#include "platform/pipewire/process_tree.h"

namespace sysaudio::pipewire {

namespace {

constexpr std::size_t captureChannels = 2;
// Largest buffers hold 8192 frames; a slot takes a quarter, so that the 64 slots hold seconds
// of audio at the usual buffer sizes without much memory.
constexpr std::size_t framesPerSlot = 2048;
constexpr std::int64_t startTimeoutSeconds = 5;

CaptureError serviceError(std::string description) {
  return CaptureError{"PipeWire", 0, std::move(description)};
}

}  // namespace

PipeWireStream::PipeWireStream(PipeWireConnection* connection, const ContentFilter& filter,
                               const CaptureSettings& settings, StreamDelegate& delegate)
    : connection_(connection),
      delegate_(delegate),
      settings_(settings),
      slots_(framesPerSlot, captureChannels) {
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
    links_.clear();
    startTimer_.reset();
  }
  // Buffers already handed to the queue refer to the slots; let them through first.
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
  if (std::optional<CaptureError> error = connectStream()) {
    finishStart(std::move(error));
    return;
  }
  pw_loop* loop = pw_thread_loop_get_loop(connection_->threadLoop());
  startTimer_ =
      LoopSourceHandle(pw_loop_add_timer(loop, &onStartTimeout, this), LoopSourceDeleter{loop});
  timespec timeout{startTimeoutSeconds, 0};
  pw_loop_update_timer(loop, startTimer_.get(), &timeout, nullptr, false);
  connection_->setObserver(this);
}

std::optional<CaptureError> PipeWireStream::connectStream() {
  // No automatic connection: the session manager leaves the stream alone, and the only links
  // into it are the ones made here.
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
    events.process = &PipeWireStream::onProcess;
    return events;
  }();
  pw_stream_add_listener(stream_.get(), streamHook_.get(), &events, this);

  // Two interleaved channels at the configured rate: the server resamples, the sink averages.
  std::uint8_t podStorage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(podStorage, sizeof podStorage);
  spa_audio_info_raw format{};
  format.format = SPA_AUDIO_FORMAT_F32;
  format.rate = static_cast<std::uint32_t>(settings_.sampleRate);
  format.channels = captureChannels;
  format.position[0] = SPA_AUDIO_CHANNEL_FL;
  format.position[1] = SPA_AUDIO_CHANNEL_FR;
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
    audioQueue_->async([this, error] { delegate_.streamDidStopWithError(*this, error); });
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
  const auto& ports = connection_->ports();
  // Links whose ports went away went with them.
  std::erase_if(links_, [&ports](const auto& entry) {
    return !ports.contains(entry.first.first) || !ports.contains(entry.first.second);
  });
  std::erase_if(takenNodes_,
                [this](const auto& entry) { return !connection_->nodes().contains(entry.first); });
  if (!settings_.capturesAudio) {
    return;
  }
  for (const PortPair& wanted : wantedLinks()) {
    if (!links_.contains(wanted)) {
      link(wanted);
    }
  }
}

bool PipeWireStream::takesNode(std::uint32_t id, const GraphNode& node) {
  if (id == nodeID_ || !node.isPlaybackStream() || !node.described()) {
    return false;
  }
  if (const auto decided = takenNodes_.find(id); decided != takenNodes_.end()) {
    return decided->second;
  }
  std::optional<pid_t> process = node.processID();
  if (!process && node.clientID()) {
    const GraphClient* client = connection_->client(*node.clientID());
    if (client != nullptr && !client->described()) {
      return false;  // not yet known whose it is: decide once it is
    }
    process = client != nullptr ? client->processID() : std::nullopt;
  }
  const bool taken = !process || !belongsToProcessTrees(*process, excludedProcesses_);
  takenNodes_[id] = taken;
  return taken;
}

std::vector<PipeWireStream::PortPair> PipeWireStream::wantedLinks() {
  std::map<std::string, std::uint32_t> inputs;  // channel position -> our input port
  std::map<std::uint32_t, std::vector<std::uint32_t>> outputsByNode;
  for (const auto& [id, port] : connection_->ports()) {
    if (port.nodeID == nodeID_ && !port.output) {
      inputs[port.channel] = id;
    } else if (port.output && !port.monitor) {
      outputsByNode[port.nodeID].push_back(id);
    }
  }
  std::vector<PortPair> wanted;
  for (const auto& [nodeID, outputs] : outputsByNode) {
    const auto node = connection_->nodes().find(nodeID);
    if (node == connection_->nodes().end() || !takesNode(nodeID, *node->second)) {
      continue;
    }
    for (const std::uint32_t output : outputs) {
      const std::string& channel = connection_->ports().at(output).channel;
      for (const std::string_view side : capturePortsFor(channel)) {
        if (const auto input = inputs.find(std::string(side)); input != inputs.end()) {
          wanted.emplace_back(output, input->second);
        }
      }
    }
  }
  return wanted;
}

void PipeWireStream::link(const PortPair& ports) {
  const GraphPort& output = connection_->ports().at(ports.first);
  PropertiesHandle props(pw_properties_new(nullptr, nullptr));
  pw_properties_setf(props.get(), PW_KEY_LINK_OUTPUT_NODE, "%u", output.nodeID);
  pw_properties_setf(props.get(), PW_KEY_LINK_OUTPUT_PORT, "%u", ports.first);
  pw_properties_setf(props.get(), PW_KEY_LINK_INPUT_NODE, "%u", nodeID_);
  pw_properties_setf(props.get(), PW_KEY_LINK_INPUT_PORT, "%u", ports.second);
  // The links go with this client, and being passive they never keep a stream running that
  // nothing else plays to.
  pw_properties_set(props.get(), PW_KEY_OBJECT_LINGER, "false");
  pw_properties_set(props.get(), PW_KEY_LINK_PASSIVE, "true");
  auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_->core(), "link-factory",
                                                             PW_TYPE_INTERFACE_Link,
                                                             PW_VERSION_LINK, &props->dict, 0));
  if (proxy != nullptr) {
    links_[ports] = ProxyHandle(proxy);
  }
}

// On the server's real-time thread: copy the frames out, hand them to the queue, and give the
// buffer straight back.
void PipeWireStream::onProcess(void* data) {
  auto& self = *static_cast<PipeWireStream*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(self.stream_.get());
  if (buffer == nullptr) {
    return;
  }
  self.handOver(*buffer->buffer);
  pw_stream_queue_buffer(self.stream_.get(), buffer);
}

void PipeWireStream::handOver(const spa_buffer& buffer) {
  if (audioQueue_ == nullptr || buffer.n_datas < 1) {
    return;
  }
  const spa_data& data = buffer.datas[0];
  if (data.data == nullptr || data.chunk == nullptr) {
    return;
  }
  const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
  const std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
  const std::size_t frameSize = captureChannels * sizeof(float);
  const auto* frames =
      reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(data.data) + offset);
  for (std::size_t left = size / frameSize; left > 0;) {
    const std::optional<std::size_t> slot = slots_.acquire();
    if (!slot) {
      return;  // the reader is behind: this audio is dropped rather than piled up
    }
    const std::size_t count = std::min(left, slots_.framesPerSlot());
    std::memcpy(slots_.samples(*slot), frames, count * frameSize);
    slots_.setFrames(*slot, count);
    audioQueue_->async([this, slot = *slot] { deliver(slot); });
    frames += count * captureChannels;
    left -= count;
  }
}

void PipeWireStream::deliver(std::size_t slot) {
  const SlotSampleBuffer buffer(slots_.samples(slot), slots_.frames(slot), captureChannels);
  audioOutput_->streamDidOutputSampleBuffer(*this, buffer, StreamOutputType::audio);
  slots_.release(slot);
}

}  // namespace sysaudio::pipewire
