// The capture service: what the capture session asks of the system to capture what the machine
// plays. Each platform provides one implementation; the session relies on these operations and
// their results and on nothing else.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sample_buffer.h"

namespace sysaudio {

class SerialQueue;

// The domain of the service's own stream errors, and its code for a user who declined capture.
inline constexpr std::string_view streamErrorDomain = "SCStreamErrorDomain";
inline constexpr std::int64_t streamErrorUserDeclined = -3801;

struct Display {
  std::uint32_t displayID = 0;
  std::string name;
};

struct RunningApplication {
  std::int32_t processID = 0;
  std::string applicationName;
};

struct ShareableContent {
  std::vector<Display> displays;
  std::vector<RunningApplication> applications;
};

// What a stream captures: the display's audio without that of the excluded applications.
struct ContentFilter {
  Display display;
  std::vector<RunningApplication> excludedApplications;
};

// A rational time, value / timescale seconds.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
};

// Settings for a new stream. The service creates it with its own defaults; the session only
// sets values and never reads them back.
class StreamConfiguration {
 public:
  virtual ~StreamConfiguration() = default;
  virtual void setCapturesAudio(bool capturesAudio) = 0;
  virtual void setExcludesCurrentProcessAudio(bool excludes) = 0;
  virtual void setSampleRate(std::int64_t sampleRate) = 0;
  virtual void setChannelCount(std::int64_t channelCount) = 0;
  virtual void setWidth(std::int64_t width) = 0;
  virtual void setHeight(std::int64_t height) = 0;
  virtual void setMinimumFrameInterval(MediaTime interval) = 0;
};

// Raw values as the service reports them; a value outside the enumerators may arrive.
enum class StreamOutputType : std::int64_t { screen = 0, audio = 1 };

class Stream;

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  // Called on the queue given at registration.
  virtual void streamDidOutputSampleBuffer(Stream& stream, const SampleBuffer& sampleBuffer,
                                           StreamOutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // Called once, on a thread of the service's choosing, when the stream has stopped.
  virtual void streamDidStopWithError(Stream& stream, const CaptureError& error) = 0;
};

class Stream {
 public:
  using StartCompletion = std::function<void(std::optional<CaptureError> error)>;

  virtual ~Stream() = default;

  // Registers output for samples of type on queue. On failure returns false and, usually, puts
  // the reason into error.
  virtual bool addStreamOutput(StreamOutput& output, StreamOutputType type, SerialQueue& queue,
                               std::optional<CaptureError>& error) = 0;

  // Calls completion exactly once, on any thread; no error means the capture runs.
  virtual void startCapture(StartCompletion completion) = 0;
};

class CaptureService {
 public:
  using ContentCompletion = std::function<void(std::optional<ShareableContent> content,
                                               std::optional<CaptureError> error)>;

  virtual ~CaptureService() = default;

  // Calls completion exactly once, on any thread, with content, an error, or both.
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;

  virtual std::unique_ptr<StreamConfiguration> makeStreamConfiguration() = 0;

  // The delegate must outlive the stream.
  virtual std::unique_ptr<Stream> makeStream(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             StreamDelegate& delegate) = 0;
};

}  // namespace sysaudio
