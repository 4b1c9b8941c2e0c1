#include "status.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace sysaudio {

namespace {

// Asked before taking the signal, so that taking it never waits: a plain wait is what every
// platform has, a wait with a time limit is not.
bool brokenPipePending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

// Writes the whole line straight to file descriptor 2, outside any stdio buffer. A reader of
// standard error that has gone must not end the process by the broken-pipe signal, since a
// lost status line must not stop the capture; so the signal is held back for this write and
// the one it raised is taken away, without touching the disposition the parent chose.
void writeStatusLine(std::string_view line) {
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &brokenPipe, &previousMask);
  const bool alreadyPending = brokenPipePending();

  bool raisedBrokenPipe = false;
  while (!line.empty()) {
    const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      raisedBrokenPipe = written < 0 && errno == EPIPE;
      break;
    }
    line.remove_prefix(static_cast<std::size_t>(written));
  }

  if (raisedBrokenPipe && !alreadyPending && brokenPipePending()) {
    int taken = 0;
    sigwait(&brokenPipe, &taken);
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

}  // namespace

void fail(std::string_view message) {
  std::string line = "error: ";
  line.append(message);
  line.push_back('\n');
  writeStatusLine(line);
  std::exit(1);
}

void reportReady() {
  writeStatusLine("ready\n");
}

}  // namespace sysaudio
