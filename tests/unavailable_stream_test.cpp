#include "platform/screencapturekit/unavailable_stream.h"

#include <gtest/gtest.h>

#include <memory>

#include "capture_session.h"
#include "child_process.h"
#include "platform/screencapturekit/stream_settings.h"

namespace sysaudio::screencapturekit {
namespace {

// A service whose content is gone by the time the stream is made.
class ContentGoneService final : public CaptureService {
 public:
  void getShareableContent(bool, bool, ContentCompletion completion) override {
    completion(ShareableContent{{{1, ""}}, {}}, std::nullopt);
  }
  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override {
    return std::make_unique<RecordedStreamConfiguration>();
  }
  std::unique_ptr<Stream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                     StreamDelegate&) override {
    return std::make_unique<UnavailableStream>(CaptureError{"sysaudio", 0, "the display is gone"});
  }
};

TEST(UnavailableStreamTest, TheSessionEndsWithItsReasonBeforeAnythingStarts) {
  const auto result = testing::runInChild([] {
    ContentGoneService service;
    const Settings settings;
    AudioSink sink(settings);
    std::unique_ptr<Stream> activeStream;
    runCaptureSession(service, settings, sink, activeStream);
  });
  EXPECT_EQ(result.exitCode(), 1);
  EXPECT_EQ(result.err, "error: the display is gone\n");
  EXPECT_EQ(result.out, "");
}

TEST(UnavailableStreamTest, RefusesEveryOutputAndEveryStartWithTheReason) {
  UnavailableStream stream(CaptureError{"sysaudio", 0, "gone"});
  class NoOutput final : public StreamOutput {
    void streamDidOutputSampleBuffer(Stream&, const SampleBuffer&, StreamOutputType) override {}
  } output;
  SerialQueue queue("test.queue");
  for (const StreamOutputType type : {StreamOutputType::audio, StreamOutputType::screen}) {
    std::optional<CaptureError> error;
    EXPECT_FALSE(stream.addStreamOutput(output, type, queue, error));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription, "gone");
  }
  int starts = 0;
  stream.startCapture([&starts](std::optional<CaptureError> error) {
    ++starts;
    EXPECT_EQ(error.value_or(CaptureError{}).localizedDescription, "gone");
  });
  EXPECT_EQ(starts, 1);
}

}  // namespace
}  // namespace sysaudio::screencapturekit
