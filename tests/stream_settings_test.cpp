#include "platform/screencapturekit/stream_settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace sysaudio::screencapturekit {
namespace {

TEST(StreamSettingsTest, OnlyTheRatesTheServiceDeliversAreAccepted) {
  for (const std::int64_t rate : {8000, 16000, 24000, 48000}) {
    EXPECT_EQ(sampleRateRefusal(rate), std::nullopt) << rate;
  }
  struct Case {
    std::int64_t rate;
    std::string description;
  };
  const std::vector<Case> refused = {
      {44100, "cannot capture at 44100 Hz: the rate must be 8000, 16000, 24000 or 48000 Hz"},
      {0, "cannot capture at 0 Hz: the rate must be 8000, 16000, 24000 or 48000 Hz"},
      {-16000, "cannot capture at -16000 Hz: the rate must be 8000, 16000, 24000 or 48000 Hz"},
      {96000, "cannot capture at 96000 Hz: the rate must be 8000, 16000, 24000 or 48000 Hz"},
      {std::numeric_limits<std::int64_t>::min(),
       "cannot capture at -9223372036854775808 Hz: the rate must be 8000, 16000, 24000 or 48000 "
       "Hz"},
  };
  for (const Case& c : refused) {
    const std::optional<CaptureError> refusal = sampleRateRefusal(c.rate);
    ASSERT_TRUE(refusal.has_value()) << c.rate;
    EXPECT_EQ(refusal->localizedDescription, c.description);
  }
}

TEST(StreamSettingsTest, KeepsWhatWasSetAndLeavesTheRestToTheService) {
  RecordedStreamConfiguration configuration;
  EXPECT_FALSE(configuration.settings().capturesAudio.has_value());
  configuration.setCapturesAudio(true);
  configuration.setSampleRate(-5);
  configuration.setWidth(2);
  configuration.setHeight(-1);
  configuration.setMinimumFrameInterval(MediaTime{1, 1});

  const StreamSettings& settings = configuration.settings();
  EXPECT_EQ(settings.capturesAudio, true);
  EXPECT_EQ(settings.excludesCurrentProcessAudio, std::nullopt);
  EXPECT_EQ(settings.sampleRate, -5);
  EXPECT_EQ(settings.channelCount, std::nullopt);
  EXPECT_EQ(settings.width, 2u);
  // The service counts pixels unsigned: a negative count must not wrap to a huge one.
  EXPECT_EQ(settings.height, 0u);
  ASSERT_TRUE(settings.minimumFrameInterval.has_value());
  EXPECT_EQ(settings.minimumFrameInterval->value, 1);
  EXPECT_EQ(settings.minimumFrameInterval->timescale, 1);
}

}  // namespace
}  // namespace sysaudio::screencapturekit
