// Points standard output elsewhere for a while, so that a test can see the exact bytes that code
// under test wrote there, or when they came.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace sysaudio::testing {

class StdoutCapture {
 public:
  StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture();

  // Everything written since the last take.
  std::string take();

 private:
  int saved_ = -1;
  int file_ = -1;
  long offset_ = 0;
};

// Standard output, for a while, goes to a pipe that a thread of this process reads, noting the
// moment each whole block of blockBytes arrives.
class TimedStdout {
 public:
  explicit TimedStdout(std::size_t blockBytes);
  TimedStdout(const TimedStdout&) = delete;
  TimedStdout& operator=(const TimedStdout&) = delete;
  ~TimedStdout();

  // Puts standard output back and waits for the reader to see everything written before.
  void finish();

  // After finish: what arrived, and when each whole block did.
  const std::string& bytes() const { return bytes_; }
  const std::vector<std::chrono::steady_clock::time_point>& arrivals() const { return arrivals_; }

 private:
  void read(int readEnd);

  std::size_t blockBytes_;
  int saved_ = -1;
  std::thread reader_;
  std::string bytes_;
  std::vector<std::chrono::steady_clock::time_point> arrivals_;
};

}  // namespace sysaudio::testing
