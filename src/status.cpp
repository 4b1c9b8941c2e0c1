#include "status.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "process_end.h"

namespace sysaudio {

namespace {

// The channel is one per process, like the descriptor it writes to. Its lock makes choosing a
// line and writing it one step, so that lines from different threads never cross: once an
// error line is being written, no other line follows it.
struct StatusChannel {
  std::mutex lock;
  int fd = STDERR_FILENO;  // -1 when the process started without a standard error
  bool readyWritten = false;
  bool errorWritten = false;
};

constinit StatusChannel channel;

// Asked before taking the signal, so that taking it never waits: a plain wait is what every
// platform has, a wait with a time limit is not.
bool brokenPipePending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

// Writes the whole line to fd, outside any stdio buffer. A reader of standard error that has
// gone must not end the process by the broken-pipe signal, since a lost status line must not
// stop the capture; so the signal is held back for this write and the one it raised is taken
// away, without touching the disposition the parent chose.
void writeStatusLine(int fd, std::string_view line) {
  if (fd < 0) {
    return;
  }
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &brokenPipe, &previousMask);
  const bool alreadyPending = brokenPipePending();

  bool raisedBrokenPipe = false;
  while (!line.empty()) {
    const ssize_t written = write(fd, line.data(), line.size());
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

[[noreturn]] void endWithErrorLine(std::string_view beforeReady, std::string_view afterReady) {
  {
    std::unique_lock hold(channel.lock);
    // A second error, or standard output's reader gone first: the end under way is the one.
    if (channel.errorWritten || !claimProcessEnd()) {
      hold.unlock();
      waitForProcessEnd();
    }
    channel.errorWritten = true;
    std::string line = "error: ";
    line.append(channel.readyWritten ? afterReady : beforeReady);
    line.push_back('\n');
    writeStatusLine(channel.fd, line);
  }
  std::exit(1);
}

}  // namespace

// The libraries the capture uses may write to descriptor 2 whatever their configuration says
// (PipeWire's own logger, or a library it loads, printing before sysaudio's logger is in
// place), and a parent takes the first line there as the status. So the status channel keeps a
// copy of the parent's descriptor for itself and descriptor 2 points elsewhere. It is pointed
// at a file rather than left closed, so that no descriptor the process opens later takes the
// number 2 and gets another's writes. The copy keeps every property of the original: a reader
// that has gone still gives EPIPE, handled above; a descriptor 2 that was closed at start stays
// without a copy, and the status lines are lost as before.
void takeOverStandardError(const char* logPath) {
  std::lock_guard hold(channel.lock);
  channel.fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  // Non-blocking, so that a FIFO without a reader is refused rather than waited for.
  constexpr int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int replacement = -1;
  if (logPath != nullptr && *logPath != '\0') {
    replacement = open(logPath, flags | O_APPEND | O_CREAT, 0600);
  }
  if (replacement < 0) {
    replacement = open("/dev/null", flags);
  }
  if (replacement < 0) {
    return;
  }
  if (replacement == STDERR_FILENO) {
    fcntl(STDERR_FILENO, F_SETFD, 0);
    return;
  }
  dup2(replacement, STDERR_FILENO);
  close(replacement);
}

void fail(std::string_view message) {
  endWithErrorLine(message, message);
}

void failBeforeOrAfterReady(std::string_view beforeReady, std::string_view afterReady) {
  endWithErrorLine(beforeReady, afterReady);
}

void reportReady() {
  std::lock_guard hold(channel.lock);
  if (channel.errorWritten || channel.readyWritten) {
    return;
  }
  channel.readyWritten = true;
  writeStatusLine(channel.fd, "ready\n");
}

}  // namespace sysaudio
