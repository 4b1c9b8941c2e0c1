// The status channel of the real binary against real PipeWire sessions: standard error carries
// "ready" or one error line and nothing else, whatever the library's logging is told to do, and
// a capture ends with one outcome, however the server or another client ends it. Every test
// starts a private session of its own (scripts/audio-session.sh).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "end_to_end.h"
#include "registry_watch.h"

namespace sysaudio {
namespace {

using namespace std::chrono_literals;
using testing::becameReady;
using testing::Daemon;
using testing::ExitStatus;
using testing::fileContents;
using testing::outputOnce;
using testing::printable;
using testing::Process;
using testing::ProcessOptions;
using testing::ProcessOutput;
using testing::prompt;
using testing::readyTimeout;
using testing::seconds;
using testing::soundTimeout;
using testing::statusText;

const std::string binary = SYSAUDIO_BINARY;

// One "error: ..." line and nothing else.
bool isOneErrorLine(const std::string& err) {
  return err.starts_with("error: ") && err.size() > 8 && err.ends_with('\n') &&
         std::ranges::count(err, '\n') == 1;
}

class StatusChannelTest : public testing::EndToEndTest {
 protected:
  ProcessOptions withEnvironment(const std::vector<std::string>& added) const {
    ProcessOptions options = client();
    options.environment->insert(options.environment->end(), added.begin(), added.end());
    return options;
  }
};

// What the library's log is told to do, from the environment or a client configuration.
enum class LibraryLogging { debugLevel5, emptyConfigurationFolder, dropInRaisingLogLevel };
// Where sysaudio is told to put the library's messages.
enum class LogFile { none, writable, unwritable };

void PrintTo(LibraryLogging logging, std::ostream* out) {
  switch (logging) {
    case LibraryLogging::debugLevel5:
      *out << "PipeWireDebug5";
      return;
    case LibraryLogging::emptyConfigurationFolder:
      *out << "EmptyConfigurationFolder";
      return;
    case LibraryLogging::dropInRaisingLogLevel:
      *out << "DropInRaisingLogLevel";
      return;
  }
}

void PrintTo(LogFile log, std::ostream* out) {
  *out << (log == LogFile::none ? "NoLog" : log == LogFile::writable ? "Log" : "UnwritableLog");
}

class LibraryLoggingTest
    : public StatusChannelTest,
      public ::testing::WithParamInterface<std::tuple<LibraryLogging, LogFile>> {};

// PIPEWIRE_DEBUG=5 used to put thousands of the library's lines before "ready", an empty
// configuration folder warnings and an error before the error line, and a drop-in's log.level
// the same. Now standard error holds the status line alone, the library's lines go to
// SYSAUDIO_LOG's file when it can be written, and a log that cannot be written changes nothing
// else. Nothing plays, so standard output must be zeros alone: no library text in it either.
TEST_P(LibraryLoggingTest, StandardErrorHoldsTheStatusLineAlone) {
  const auto [logging, logFile] = GetParam();
  const std::string& directory = session.directory();
  std::vector<std::string> environment;
  bool startsUp = true;
  std::string loggedMark;  // a piece of every library line at the level asked for
  switch (logging) {
    case LibraryLogging::debugLevel5:
      environment.push_back("PIPEWIRE_DEBUG=5");
      loggedMark = " D pw.context ";
      break;
    case LibraryLogging::emptyConfigurationFolder:
      std::filesystem::create_directory(directory + "/empty-configuration");
      environment.push_back("PIPEWIRE_CONFIG_DIR=" + directory + "/empty-configuration");
      startsUp = false;
      loggedMark = " E pw.conf ";
      break;
    case LibraryLogging::dropInRaisingLogLevel:
      // sysaudio reads client-rt.conf; a drop-in for client.conf must change nothing either.
      for (const std::string name : {"client.conf.d", "client-rt.conf.d"}) {
        const std::string folder = directory + "/config/pipewire/" + name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/90-log-level.conf") << "context.properties = { log.level = 4 }\n";
      }
      loggedMark = " D pw.";
      break;
  }
  const std::string logPath =
      directory + (logFile == LogFile::unwritable ? "/missing" : "") + "/sysaudio-library.log";
  if (logFile != LogFile::none) {
    environment.push_back("SYSAUDIO_LOG=" + logPath);
  }

  Process sysaudio({binary}, withEnvironment(environment));
  if (startsUp) {
    ASSERT_TRUE(becameReady(sysaudio));
    // Silence blocks come once 0.2 s pass without audio: half a second of them.
    const ProcessOutput output = outputOnce(
        sysaudio,
        [](const ProcessOutput& output) {
          return output.out.size() >= testing::defaultRate / 2 * sizeof(float);
        },
        soundTimeout);
    EXPECT_FALSE(output.ended) << statusText(output);
    EXPECT_EQ(output.err, "ready\n");
    EXPECT_GE(output.out.size(), testing::defaultRate / 2 * sizeof(float));
    EXPECT_EQ(output.out.find_first_not_of('\0'), std::string::npos)
        << "something other than zeros on standard output";
  } else {
    const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
    const ProcessOutput output = sysaudio.snapshot();
    ASSERT_TRUE(status.has_value()) << statusText(output) << ", " << printable(output.err);
    EXPECT_EQ(status->code(), 1) << status->describe();
    EXPECT_TRUE(isOneErrorLine(output.err)) << printable(output.err);
    EXPECT_EQ(output.out, "");
  }
  if (logFile == LogFile::writable) {
    const std::string logged = fileContents(logPath);
    EXPECT_NE(logged.find(loggedMark), std::string::npos)
        << "no \"" << loggedMark << "\" line in the log:\n"
        << logged.substr(0, 2000);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Logging, LibraryLoggingTest,
    ::testing::Combine(::testing::Values(LibraryLogging::debugLevel5,
                                         LibraryLogging::emptyConfigurationFolder,
                                         LibraryLogging::dropInRaisingLogLevel),
                       ::testing::Values(LogFile::none, LogFile::writable, LogFile::unwritable)),
    [](const auto& info) {
      return ::testing::PrintToString(std::get<LibraryLogging>(info.param)) +
             ::testing::PrintToString(std::get<LogFile>(info.param));
    });

// The server stops (SIGSTOP) at the moment sysaudio's client appears on it, before the capture
// runs, and is killed a second later: the start fails, and whatever the connection or a stream
// reports after that must not add a line. Should the capture have run before the stop took
// hold, the outcome is a stop after "ready". Either way one outcome, nothing after the error
// line, status 1.
TEST_F(StatusChannelTest, ServerStoppedDuringTheStartEndsWithOneOutcome) {
  const pid_t server = session.pidOf(Daemon::pipewire);
  std::atomic<bool> watching{false};
  std::atomic<bool> stopped{false};
  // No other client comes and goes in the session: the first one after the watch has seen the
  // existing objects is sysaudio's.
  testing::RegistryWatch watch(
      session.directory() + "/pipewire-0",
      [server, &watching, &stopped](std::string_view type, const spa_dict*) {
        if (watching && type == PW_TYPE_INTERFACE_Client && !stopped.exchange(true)) {
          kill(server, SIGSTOP);
        }
      });
  watching = true;
  Process sysaudio({binary}, client());
  const auto deadline = testing::SteadyClock::now() + readyTimeout;
  while (!stopped && testing::SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(stopped) << "the server never announced sysaudio's client; standard error "
                       << printable(sysaudio.snapshot().err);
  std::this_thread::sleep_for(1s);
  session.signal(Daemon::pipewire, SIGKILL);

  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  const ProcessOutput output = sysaudio.snapshot();
  ASSERT_TRUE(status.has_value()) << "still running " << seconds(prompt)
                                  << " s after the server went; " << printable(output.err);
  EXPECT_EQ(status->code(), 1) << status->describe();
  const bool startFailed = isOneErrorLine(output.err) && !output.err.starts_with("error: capture");
  const bool stoppedAfterReady = output.err.starts_with("ready\nerror: capture stopped: ") &&
                                 isOneErrorLine(output.err.substr(6));
  EXPECT_TRUE(startFailed || stoppedAfterReady) << printable(output.err);
  ::testing::Test::RecordProperty("outcome", startFailed ? "start failed" : "stopped after ready");
  std::cout << "outcome: " << printable(output.err) << "\n";
}

// Someone removes sysaudio's own node (pw-cli destroy): the stream leaves the running state for
// good, which is a stop, reported at once, rather than zeros written for ever.
TEST_F(StatusChannelTest, ItsNodeDestroyedByAnotherClientIsAStop) {
  Process sysaudio({binary}, client());
  ASSERT_TRUE(becameReady(sysaudio));
  // The node's id from the server's own list.
  Process dump({"pw-dump"}, client());
  ASSERT_TRUE(dump.waitForExit(std::chrono::seconds(10)).has_value());
  const std::string listing = dump.snapshot().out;
  const std::size_t name = listing.find("\"node.name\": \"sysaudio\"");
  ASSERT_NE(name, std::string::npos) << "pw-dump lists no node of sysaudio's";
  const std::size_t id = listing.rfind("\"id\": ", name);
  ASSERT_NE(id, std::string::npos);
  const std::string nodeID = listing.substr(id + 6, listing.find(',', id) - id - 6);

  Process destroy({"pw-cli", "destroy", nodeID}, client());
  ASSERT_TRUE(destroy.waitForExit(std::chrono::seconds(10)).has_value());
  ASSERT_EQ(destroy.snapshot().err, "") << "pw-cli destroy " << nodeID;

  const std::optional<ExitStatus> status = sysaudio.waitForExit(prompt);
  const ProcessOutput output = sysaudio.snapshot();
  ASSERT_TRUE(status.has_value()) << "still running " << seconds(prompt)
                                  << " s after its node went; " << printable(output.err);
  EXPECT_EQ(status->code(), 1) << status->describe();
  EXPECT_EQ(output.err,
            "ready\nerror: capture stopped: the capture stream was removed from the audio "
            "server\n");
  EXPECT_EQ(output.out.size() % sizeof(float), 0u);
}

}  // namespace
}  // namespace sysaudio
