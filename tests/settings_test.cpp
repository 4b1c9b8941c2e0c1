#include "settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sysaudio {
namespace {

struct ArgumentCase {
  std::vector<const char*> arguments;  // after the program name
  std::int64_t sampleRate;
  std::int64_t silenceChunk;
};

Settings settingsFor(const std::vector<const char*>& arguments) {
  std::vector<const char*> argv{"sysaudio"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return settingsFromArguments(argv);
}

TEST(SettingsTest, DerivesRateAndSilenceFromTheFirstArgument) {
  const std::vector<ArgumentCase> cases = {
      {{}, 16000, 800},
      {{"48000"}, 48000, 2400},
      {{"999"}, 999, 49},
      {{"+16000"}, 16000, 800},
      {{"016000"}, 16000, 800},
      {{"-0"}, 0, 0},
      {{"0"}, 0, 0},
      {{"19"}, 19, 0},
      {{"20"}, 20, 1},
      {{"-19"}, -19, 0},
      {{"-20"}, -20, -1},
      {{"9223372036854775807"}, 9223372036854775807, 461168601842738790},
      {{"-9223372036854775808"}, INT64_MIN, -461168601842738790},
      {{"800", "x"}, 800, 40},
      {{"abc", "800"}, 16000, 800},
  };
  for (const ArgumentCase& c : cases) {
    const std::string shown = c.arguments.empty() ? "(none)" : c.arguments.front();
    const Settings settings = settingsFor(c.arguments);
    EXPECT_EQ(settings.sampleRate, c.sampleRate) << shown;
    EXPECT_EQ(settings.silenceChunk, c.silenceChunk) << shown;
    EXPECT_EQ(settings.silenceAfter, 0.2) << shown;
  }
}

TEST(SettingsTest, TextThatIsNotOneDecimalIntegerFallsBackToTheDefault) {
  const std::vector<std::string> rejected = {
      "",
      "+",
      "-",
      " 16000",
      "16000 ",
      "16k",
      "16000.0",
      "1e4",
      "0x3e80",
      "+-1",
      "--1",
      "16_000",
      "1 6",
      "\xEF\xBC\x91",
      "9223372036854775808",
      "-9223372036854775809",
      "99999999999999999999",
  };
  for (const std::string& text : rejected) {
    EXPECT_EQ(parseSampleRate(text), std::nullopt) << '"' << text << '"';
    const Settings settings = settingsFor({text.c_str()});
    EXPECT_EQ(settings.sampleRate, 16000) << '"' << text << '"';
    EXPECT_EQ(settings.silenceChunk, 800) << '"' << text << '"';
  }
}

TEST(SettingsTest, TextWithAnEmbeddedNulIsRejected) {
  EXPECT_EQ(parseSampleRate(std::string_view("16\0"
                                             "00",
                                             5)),
            std::nullopt);
}

TEST(SettingsTest, NoProgramNameAtAllGivesTheDefault) {
  EXPECT_EQ(settingsFromArguments({}).sampleRate, 16000);
}

}  // namespace
}  // namespace sysaudio
