#include "platform/pipewire/pipewire_log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <vector>

namespace sysaudio::pipewire {
namespace {

// PIPEWIRE_DEBUG as PipeWire's own log reads it: a level, or topic patterns with a level each.
TEST(PipeWireLogTest, ReadsTheLevelThatPipeWireDebugAsksFor) {
  struct Case {
    std::string_view debug;
    std::optional<spa_log_level> level;
  };
  const std::vector<Case> cases = {
      {"5", SPA_LOG_LEVEL_TRACE},
      {"0", SPA_LOG_LEVEL_NONE},
      {"3", SPA_LOG_LEVEL_INFO},
      {"D", SPA_LOG_LEVEL_DEBUG},
      {"X", SPA_LOG_LEVEL_NONE},
      {"E", SPA_LOG_LEVEL_ERROR},
      {"pw.conf:4", SPA_LOG_LEVEL_DEBUG},
      {"pw.*:2,spa.audioconvert:T,mod.*:3", SPA_LOG_LEVEL_TRACE},
      {"conn.*:0,pw.context:I", SPA_LOG_LEVEL_INFO},
      // A level without a topic among patterns.
      {"pw.conf:2,4", SPA_LOG_LEVEL_DEBUG},
      // Entries that name no level count for nothing.
      {"pw.conf:9,pw.node:W", SPA_LOG_LEVEL_WARN},
      {"", std::nullopt},
      {"6", std::nullopt},
      {"35", std::nullopt},
      {"i", std::nullopt},
      {"pw.conf", std::nullopt},
      {"pw.conf:", std::nullopt},
      {",,", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(requestedLogLevel(c.debug), c.level) << '"' << c.debug << '"';
  }
}

}  // namespace
}  // namespace sysaudio::pipewire
