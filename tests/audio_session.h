// A private, headless audio session for one test, started and stopped by
// scripts/audio-session.sh: its own D-Bus bus, pipewire, wireplumber and pipewire-pulse in a fresh
// temporary directory, so that tests running side by side, or killing the server, never meet.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sysaudio::testing {

// A fresh directory (mode 0700) under $TMPDIR or /tmp, removed with its contents when it goes.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

enum class Daemon { dbus, pipewire, wireplumber, pipewirePulse };

struct AudioSessionOptions {
  // false: no Audio/Sink at all, as on a machine without any output device.
  bool withSink = true;
};

class AudioSession {
 public:
  // Starts the session; throws with the script's output if it does not come up.
  explicit AudioSession(AudioSessionOptions options = {});
  AudioSession(const AudioSession&) = delete;
  AudioSession& operator=(const AudioSession&) = delete;
  // Stops every daemon of the session and removes its directory.
  ~AudioSession();

  // The session's runtime directory; a test may keep its own files there too.
  const std::string& directory() const { return directory_.path(); }

  // The environment for a client of this session: this process's environment without anything
  // that points at another audio server or bus, plus the session's variables.
  const std::vector<std::string>& environment() const { return environment_; }

  // The daemon's pid as the session recorded it.
  pid_t pidOf(Daemon daemon) const;
  void signal(Daemon daemon, int signalNumber) const;

  // Forces the graph's quantum to frames (clock.force-quantum, as a user tuning for latency or
  // an application asking for small buffers does), or lets the graph choose again with 0; throws
  // if the server does not report the setting back.
  void forceQuantum(int frames) const;

  // Waits until the server lists a playback stream whose media.name is mediaName (pw-play and
  // paplay name their stream after the path they play); false if it did not within timeout.
  bool waitForPlayback(const std::string& mediaName, std::chrono::milliseconds timeout) const;

 private:
  TemporaryDirectory directory_;
  std::vector<std::string> environment_;
};

}  // namespace sysaudio::testing
