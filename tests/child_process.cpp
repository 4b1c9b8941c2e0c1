#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sysaudio::testing {

namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe makePipe() {
  int fds[2];
  if (pipe(fds) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  // Tests start their children one at a time, so no child inherits the pipe in between.
  for (const int fd : fds) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return {fds[0], fds[1]};
}

// A descriptor every write to fails on: /dev/full where there is one, else a descriptor open
// only for reading.
int openUnwritable() {
  const int full = open("/dev/full", O_WRONLY);
  return full >= 0 ? full : open("/dev/null", O_RDONLY);
}

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

// In the child: points descriptor target at what the options ask for.
void connect(int target, StreamTarget how, const Pipe& pipe, int stdoutWrite) {
  switch (how) {
    case StreamTarget::pipe:
    case StreamTarget::closedPipe:
      dup2(pipe.write, target);
      break;
    case StreamTarget::devFull: {
      const int unwritable = openUnwritable();
      dup2(unwritable, target);
      close(unwritable);
      break;
    }
    case StreamTarget::closed:
      close(target);
      break;
    case StreamTarget::stdoutPipe:
      dup2(stdoutWrite, target);
      break;
  }
}

void drain(Pipe& out, Pipe& err, ChildResult& result, pid_t child,
           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char chunk[65536];
  while (out.read >= 0 || err.read >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(child, SIGKILL);
      break;
    }
    pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n <= 0) {
        closeIfOpen(i == 0 ? out.read : err.read);
        continue;
      }
      (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
    }
  }
  closeIfOpen(out.read);
  closeIfOpen(err.read);
}

}  // namespace

bool ChildResult::exited() const {
  return !timedOut && WIFEXITED(waitStatus);
}
int ChildResult::exitCode() const {
  return exited() ? WEXITSTATUS(waitStatus) : -1;
}
int ChildResult::signal() const {
  return WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
}
bool ChildResult::bodyReturned() const {
  return exitCode() == bodyReturnedExitCode;
}

ChildResult runInChild(const std::function<void()>& body, const ChildOptions& options) {
  Pipe out = makePipe();
  Pipe err = makePipe();
  // Closed before the child exists, so that not even its first write finds a reader.
  if (options.stdoutTarget == StreamTarget::closedPipe) {
    closeIfOpen(out.read);
  }
  if (options.stderrTarget == StreamTarget::closedPipe) {
    closeIfOpen(err.read);
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (child == 0) {
    // Whatever this test process inherited, the child gets the broken-pipe signal the test asks
    // for: ignored, or with its default action and not blocked.
    signal(SIGPIPE, options.ignoreBrokenPipe ? SIG_IGN : SIG_DFL);
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &brokenPipe, nullptr);
    connect(STDOUT_FILENO, options.stdoutTarget, out, out.write);
    connect(STDERR_FILENO, options.stderrTarget, err, out.write);
    // The reading ends stay with the test alone, so that a closed one is really closed.
    for (const int fd : {out.read, out.write, err.read, err.write}) {
      if (fd > STDERR_FILENO) {
        close(fd);
      }
    }
    body();
    std::fflush(stdout);
    _exit(bodyReturnedExitCode);
  }
  closeIfOpen(out.write);
  closeIfOpen(err.write);
  ChildResult result;
  drain(out, err, result, child, options.timeout);
  if (result.timedOut) {
    kill(child, SIGKILL);
  }
  while (waitpid(child, &result.waitStatus, 0) < 0 && errno == EINTR) {
  }
  return result;
}

ChildResult runProgram(const std::string& path, const std::vector<std::string>& arguments,
                       const ChildOptions& options) {
  return runInChild(
      [&] {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& argument : arguments) {
          argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
      },
      options);
}

std::vector<float> samplesOf(const std::string& bytes) {
  if (bytes.size() % sizeof(float) != 0) {
    throw std::runtime_error("the stream does not hold whole samples");
  }
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), bytes.size());
  return samples;
}

std::string bytesOf(const std::vector<float>& samples) {
  return std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
}

}  // namespace sysaudio::testing
