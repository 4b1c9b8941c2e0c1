// Runs code or a program in a child process, as a parent of sysaudio would, and collects what
// it wrote and how it ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace sysaudio::testing {

enum class StreamTarget {
  pipe,        // a pipe the test reads
  devFull,     // /dev/full (read-only /dev/null where there is none): every write fails
  closedPipe,  // a pipe whose reading end is already closed
  closed,      // the descriptor is not open at all
  stdoutPipe,  // the same pipe as standard output (standard error only)
};

struct ChildOptions {
  StreamTarget stdoutTarget = StreamTarget::pipe;
  StreamTarget stderrTarget = StreamTarget::pipe;
  bool ignoreBrokenPipe = false;
  std::chrono::milliseconds timeout{20000};
};

struct ChildResult {
  int waitStatus = 0;
  bool timedOut = false;
  std::string out;
  std::string err;

  bool exited() const;
  int exitCode() const;  // -1 unless exited
  int signal() const;    // 0 unless killed by a signal
  bool bodyReturned() const;
};

// The exit code of a child whose body returned instead of ending the process.
inline constexpr int bodyReturnedExitCode = 111;

ChildResult runInChild(const std::function<void()>& body, const ChildOptions& options = {});
ChildResult runProgram(const std::string& path, const std::vector<std::string>& arguments,
                       const ChildOptions& options = {});

// The samples a byte stream holds, in native order; the stream must hold whole samples.
std::vector<float> samplesOf(const std::string& bytes);
std::string bytesOf(const std::vector<float>& samples);

}  // namespace sysaudio::testing
