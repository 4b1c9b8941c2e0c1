// Points standard output at a temporary file for a while, so that a test can see the exact
// bytes that code under test wrote there.
#pragma once

#include <string>

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

}  // namespace sysaudio::testing
