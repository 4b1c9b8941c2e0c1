#include "stdout_capture.h"

#include <stdio.h>
#include <unistd.h>

#include <stdexcept>

#include "cadence.h"

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

TimedStdout::TimedStdout(std::size_t blockBytes) : blockBytes_(blockBytes) {
  std::fflush(stdout);
  int ends[2];
  if (pipe(ends) != 0) {
    throw std::runtime_error("cannot time standard output");
  }
  saved_ = dup(STDOUT_FILENO);
  dup2(ends[1], STDOUT_FILENO);
  close(ends[1]);
  reader_ = std::thread([this, readEnd = ends[0]] { read(readEnd); });
}

TimedStdout::~TimedStdout() {
  finish();
}

void TimedStdout::finish() {
  if (saved_ < 0) {
    return;
  }
  std::fflush(stdout);
  // The pipe's last writing end goes, so the reader meets its end.
  dup2(saved_, STDOUT_FILENO);
  close(saved_);
  saved_ = -1;
  reader_.join();
}

void TimedStdout::read(int readEnd) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(readEnd, chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    bytes_.append(chunk, static_cast<std::size_t>(n));
    noteWholeBlocks(arrivals_, bytes_.size(), blockBytes_, now);
  }
  close(readEnd);
}

}  // namespace sysaudio::testing
