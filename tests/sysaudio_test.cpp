// The binary as a parent starts it: arguments in, bytes and an exit status out.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace sysaudio {
namespace {

using testing::runProgram;

const std::string binary = SYSAUDIO_BINARY;

TEST(SysaudioTest, HelpAndVersionPrintToStandardOutputAndSucceed) {
  for (const char* flag : {"-h", "--help"}) {
    const auto result = runProgram(binary, {flag, "48000"});
    EXPECT_EQ(result.exitCode(), 0) << flag;
    EXPECT_EQ(result.out.rfind("usage: sysaudio [sample-rate]\n", 0), 0u) << flag;
    EXPECT_EQ(result.err, "") << flag;
  }
  const auto version = runProgram(binary, {"--version"});
  EXPECT_EQ(version.exitCode(), 0);
  EXPECT_EQ(version.out.rfind("sysaudio ", 0), 0u);
  EXPECT_EQ(version.out.back(), '\n');
  EXPECT_EQ(version.err, "");
}

}  // namespace
}  // namespace sysaudio
