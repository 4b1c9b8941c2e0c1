// Runs a program as a long-lived child, the way a parent of sysaudio does: its standard output
// and standard error are read continuously in the background, with the time each piece arrived,
// while the test does other things; the test can close its end of standard output, signal the
// process and wait for its exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sysaudio::testing {

using SteadyClock = std::chrono::steady_clock;

// What the test process asks of the broken-pipe signal in the child.
enum class BrokenPipe { defaultAction, ignored };

// What the child finds as its standard error: a pipe the test reads; a pipe whose reading end
// was closed before the child started, so that every write to it fails with EPIPE; or no open
// descriptor 2 at all, so that the first file the child opens takes that number.
enum class ErrorStream { pipe, pipeWithoutReader, closed };

struct ProcessOptions {
  // The child's whole environment as NAME=value; no value means this process's environment.
  std::optional<std::vector<std::string>> environment;
  BrokenPipe brokenPipe = BrokenPipe::defaultAction;
  // Runs the program under an intermediate process that ends at once, so that the program is
  // no descendant of the test process: to a program that leaves out the audio of its parent's
  // descendants it is an unrelated process, as another application would be.
  bool detached = false;
  // false: the program stays in the test process's process group, as an application's helper
  // stays in the application's, instead of leading a group of its own. Not with detached.
  bool ownProcessGroup = true;
  // Standard input is a pipe the test writes with writeStdin; otherwise it is /dev/null.
  bool stdinPipe = false;
  // A file standard output goes to instead of a pipe the test reads (such as /dev/full).
  std::optional<std::string> stdoutFile = std::nullopt;
  ErrorStream errorStream = ErrorStream::pipe;
};

// A wait status as waitpid reports it.
struct ExitStatus {
  int raw = 0;

  bool exited() const;
  int code() const;    // -1 unless exited
  int signal() const;  // 0 unless ended by a signal
  std::string describe() const;
};

// One read from a stream: when it returned, and the stream's total size after it.
struct Arrival {
  SteadyClock::time_point at;
  std::size_t total = 0;
};

// Everything read from the child so far.
struct ProcessOutput {
  std::string out;
  std::string err;
  std::vector<Arrival> outArrivals;
  std::vector<Arrival> errArrivals;
  // Set once the process has ended; stays empty for a detached process whose intermediate was
  // killed before it could report the program's status.
  std::optional<ExitStatus> status;
  bool ended = false;
  SteadyClock::time_point endedAt;
  bool outClosed = false;  // the test closed its end of standard output
};

class Process {
 public:
  // Starts argv[0] (a path, or a name looked up in PATH) with the given arguments.
  explicit Process(std::vector<std::string> argv, ProcessOptions options = {});
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Kills the child's whole process group (or the child alone, when it has no group of its
  // own), reaps what is its own and stops reading.
  ~Process();

  pid_t pid() const { return pid_; }
  SteadyClock::time_point startedAt() const { return startedAt_; }

  ProcessOutput snapshot() const;
  // Waits until condition holds for what was read so far; false if it did not within timeout.
  // The condition runs under the reader's lock: it must be quick and must not call back here.
  bool waitUntil(const std::function<bool(const ProcessOutput&)>& condition,
                 std::chrono::milliseconds timeout) const;
  // The exit status once the process has ended, or nothing if it did not within timeout.
  std::optional<ExitStatus> waitForExit(std::chrono::milliseconds timeout) const;
  bool hasEnded() const;

  // Closes the test's end of standard output; what was not read yet is lost, and the child's
  // next write finds no reader.
  void closeStdout();
  // Stops reading standard output, as a reader that is busy elsewhere does: once the pipe is
  // full, the child's writes block. Nothing is lost; resumeStdout takes up the reading again.
  void pauseStdout();
  void resumeStdout();
  void writeStdin(const std::string& bytes);
  void signal(int signalNumber) const;

 private:
  void spawn(const std::vector<std::string>& argv);
  void readLoop();
  bool readAvailable(int& fd, std::string& stream, std::vector<Arrival>& arrivals);
  void collectExit();
  void wake() const;
  void killGroup() const;

  const ProcessOptions options_;
  pid_t pid_ = -1;
  pid_t group_ = -1;
  SteadyClock::time_point startedAt_;

  // Owned by the reader thread once it runs.
  int outRead_ = -1;
  int errRead_ = -1;
  int exitWatch_ = -1;  // a pidfd, or the pipe that a detached program's status comes through
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int stdinWrite_ = -1;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  ProcessOutput output_;
  bool closeOutRequested_ = false;
  bool outPaused_ = false;
  bool stopRequested_ = false;
  std::thread reader_;
};

// The whole samples in bytes, a native-order float stream; a partial last sample is left out.
std::vector<float> wholeSamplesOf(const std::string& bytes);

// Bytes as a quoted C-style string, for failure messages about exact output.
std::string printable(const std::string& bytes);

// How the process ended, or that it has not, for failure messages.
std::string statusText(const ProcessOutput& output);

// This process's environment without the variables that point a client at an audio server, a
// session bus or a runtime directory, so that only what a test adds decides where clients go.
std::vector<std::string> environmentWithoutAudioSession();

}  // namespace sysaudio::testing
