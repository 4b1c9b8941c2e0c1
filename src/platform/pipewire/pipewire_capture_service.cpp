#include "platform/pipewire/pipewire_capture_service.h"

#include <cstdlib>
#include <map>

#include "platform/pipewire/pipewire_stream.h"
#include "platform/pipewire/process_tree.h"
#include "platform/pipewire/stream_owner.h"

namespace sysaudio::pipewire {

namespace {

class PipeWireStreamConfiguration final : public StreamConfiguration {
 public:
  void setCapturesAudio(bool capturesAudio) override { settings.capturesAudio = capturesAudio; }
  void setExcludesCurrentProcessAudio(bool excludes) override {
    settings.excludesCurrentProcessAudio = excludes;
  }
  void setSampleRate(std::int64_t sampleRate) override { settings.sampleRate = sampleRate; }
  // The capture is always the server's stereo mix, which the sink averages to one channel: the
  // server's own downmix would make centred sound 3 dB louder. There is no picture to size.
  void setChannelCount(std::int64_t) override {}
  void setWidth(std::int64_t) override {}
  void setHeight(std::int64_t) override {}
  void setMinimumFrameInterval(MediaTime) override {}

  CaptureSettings settings;
};

}  // namespace

PipeWireCaptureService::PipeWireCaptureService(const char* logPath)
    : libraryLog_(logPath, std::getenv("PIPEWIRE_DEBUG")) {}

PipeWireCaptureService::~PipeWireCaptureService() = default;

void PipeWireCaptureService::getShareableContent(bool, bool, ContentCompletion completion) {
  if (!connection_) {
    std::string error;
    connection_ = PipeWireConnection::connect(error);
    if (!connection_) {
      completion(std::nullopt, CaptureError{"PipeWire", 0, error});
      return;
    }
  }
  LoopLock lock(connection_->threadLoop());
  connection_->settle([this, completion = std::move(completion)](std::optional<std::string> error) {
    if (error) {
      completion(std::nullopt, CaptureError{"PipeWire", 0, *error});
      return;
    }
    completion(contentOf(*connection_), std::nullopt);
  });
}

ShareableContent PipeWireCaptureService::contentOf(const PipeWireConnection& connection) const {
  ShareableContent content;
  for (const auto& [id, node] : connection.nodes()) {
    if (!node->isOutputDevice()) {
      continue;
    }
    Display display{id, node->description().empty() ? node->name() : node->description()};
    if (node->name() == connection.defaultSinkName()) {
      content.displays.insert(content.displays.begin(), std::move(display));
    } else {
      content.displays.push_back(std::move(display));
    }
  }
  // Every process is an application, whether or not it plays yet: an application that starts
  // its audio helper later must still be found by its own id.
  std::map<pid_t, std::string> clientNames;
  for (const GraphClient* client : connection.clients()) {
    const std::optional<pid_t> process = streamOwner(client->identity(), std::nullopt, true);
    if (process && !client->name().empty()) {
      clientNames.emplace(*process, client->name());
    }
  }
  for (RunningProcess& process : runningProcesses()) {
    const auto named = clientNames.find(process.processID);
    content.applications.push_back(
        {process.processID, named != clientNames.end() ? named->second : std::move(process.name)});
  }
  return content;
}

std::unique_ptr<StreamConfiguration> PipeWireCaptureService::makeStreamConfiguration() {
  return std::make_unique<PipeWireStreamConfiguration>();
}

std::unique_ptr<Stream> PipeWireCaptureService::makeStream(const ContentFilter& filter,
                                                           const StreamConfiguration& configuration,
                                                           StreamDelegate& delegate) {
  const auto& settings = dynamic_cast<const PipeWireStreamConfiguration&>(configuration).settings;
  return std::make_unique<PipeWireStream>(connection_.get(), filter, settings, delegate);
}

}  // namespace sysaudio::pipewire
