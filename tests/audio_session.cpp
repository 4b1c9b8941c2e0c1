#include "audio_session.h"

#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "process_runner.h"

#ifndef AUDIO_SESSION_SCRIPT
#error "AUDIO_SESSION_SCRIPT must name scripts/audio-session.sh"
#endif

namespace sysaudio::testing {

namespace {

using namespace std::chrono_literals;

// Starting waits for every daemon to answer, which takes far longer on a loaded machine.
constexpr auto scriptTimeout = 60s;

std::string daemonName(Daemon daemon) {
  switch (daemon) {
    case Daemon::dbus:
      return "dbus";
    case Daemon::pipewire:
      return "pipewire";
    case Daemon::wireplumber:
      return "wireplumber";
    case Daemon::pipewirePulse:
      return "pipewire-pulse";
  }
  throw std::invalid_argument("unknown daemon");
}

// Runs the script with arguments; its output if it fails, or nothing.
std::optional<std::string> runScript(const std::vector<std::string>& arguments,
                                     std::vector<std::string> environment) {
  std::vector<std::string> argv{AUDIO_SESSION_SCRIPT};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Process script(argv, {.environment = std::move(environment)});
  const std::optional<ExitStatus> status = script.waitForExit(scriptTimeout);
  const ProcessOutput output = script.snapshot();
  if (status && status->exited() && status->code() == 0) {
    return std::nullopt;
  }
  std::string failure = "audio-session.sh";
  for (const std::string& argument : arguments) {
    failure += " " + argument;
  }
  failure += ": " + (status ? status->describe() : std::string("did not finish")) + "\n";
  return failure + output.out + output.err;
}

// The script's %q quoting of simple values is at most a backslash before a character.
std::string unquote(const std::string& value) {
  if (value.starts_with("$'") || value.starts_with("'") || value.starts_with("\"")) {
    throw std::runtime_error("unexpected quoting in the session's env file: " + value);
  }
  std::string plain;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      ++i;
    }
    plain.push_back(value[i]);
  }
  return plain;
}

// NAME=value entries from the `export NAME=value` lines of DIR/env.
std::vector<std::string> readEnvFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    throw std::runtime_error("the session wrote no env file: " + path);
  }
  std::vector<std::string> entries;
  std::string line;
  while (std::getline(file, line)) {
    constexpr std::string_view prefix = "export ";
    const std::size_t equals = line.find('=');
    if (!line.starts_with(prefix) || equals == std::string::npos) {
      continue;
    }
    entries.push_back(line.substr(prefix.size(), equals + 1 - prefix.size()) +
                      unquote(line.substr(equals + 1)));
  }
  return entries;
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
  const char* base = std::getenv("TMPDIR");
  // The session's sockets live in here, and a unix socket path has at most 107 bytes.
  std::string parent = base != nullptr && *base != '\0' && std::strlen(base) < 60 ? base : "/tmp";
  std::string pattern = parent + "/sysaudio-e2e.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

AudioSession::AudioSession(AudioSessionOptions options) {
  std::vector<std::string> scriptEnvironment = environmentWithoutAudioSession();
  scriptEnvironment.push_back(std::string("AUDIO_SESSION_NO_SINK=") +
                              (options.withSink ? "0" : "1"));
  if (const auto failure = runScript({"start", directory()}, scriptEnvironment)) {
    // A start that timed out may have left daemons behind; stopping is harmless otherwise.
    runScript({"stop", directory()}, scriptEnvironment);
    throw std::runtime_error("the audio session did not start:\n" + *failure);
  }
  environment_ = environmentWithoutAudioSession();
  for (std::string& entry : readEnvFile(directory() + "/env")) {
    environment_.push_back(std::move(entry));
  }
}

AudioSession::~AudioSession() {
  try {
    if (const auto failure = runScript({"stop", directory()}, environmentWithoutAudioSession())) {
      std::fprintf(stderr, "%s", failure->c_str());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "stopping the audio session: %s\n", error.what());
  }
}

pid_t AudioSession::pidOf(Daemon daemon) const {
  const std::string path = directory() + "/" + daemonName(daemon) + ".pid";
  std::ifstream file(path);
  pid_t pid = -1;
  if (!(file >> pid) || pid <= 0) {
    throw std::runtime_error("no pid in " + path);
  }
  return pid;
}

void AudioSession::signal(Daemon daemon, int signalNumber) const {
  if (kill(pidOf(daemon), signalNumber) != 0) {
    throw std::runtime_error("kill " + daemonName(daemon) + ": " + std::strerror(errno));
  }
}

void AudioSession::forceQuantum(int frames) const {
  const std::string value = std::to_string(frames);
  Process set({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", value},
              {.environment = environment_});
  set.waitForExit(10s);
  Process get({"pw-metadata", "-n", "settings", "0", "clock.force-quantum"},
              {.environment = environment_});
  get.waitForExit(10s);
  const std::string reported = get.snapshot().out;
  if (reported.find("key:'clock.force-quantum' value:'" + value + "'") == std::string::npos) {
    throw std::runtime_error("the server did not take clock.force-quantum " + value + ": " +
                             reported);
  }
}

bool AudioSession::waitForPlayback(const std::string& mediaName,
                                   std::chrono::milliseconds timeout) const {
  const std::string wanted = "media.name = \"" + mediaName + "\"";
  const auto deadline = SteadyClock::now() + timeout;
  for (;;) {
    Process pactl({"pactl", "list", "sink-inputs"}, {.environment = environment_});
    pactl.waitForExit(5s);
    if (pactl.snapshot().out.find(wanted) != std::string::npos) {
      return true;
    }
    if (SteadyClock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace sysaudio::testing
