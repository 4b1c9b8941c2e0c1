#include "stdout_capture.h"

#include <stdio.h>
#include <unistd.h>

#include <stdexcept>

namespace sysaudio::testing {

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  // A file already removed from its directory, so that nothing is left behind.
  if (std::FILE* file = std::tmpfile()) {
    file_ = dup(fileno(file));
    std::fclose(file);
  }
  if (saved_ < 0 || file_ < 0) {
    throw std::runtime_error("cannot capture standard output");
  }
  dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  close(file_);
}

std::string StdoutCapture::take() {
  std::fflush(stdout);
  std::string bytes;
  char chunk[65536];
  for (;;) {
    const ssize_t n = pread(file_, chunk, sizeof chunk, offset_);
    if (n <= 0) {
      break;
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
    offset_ += n;
  }
  return bytes;
}

}  // namespace sysaudio::testing
