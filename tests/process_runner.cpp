#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

extern char** environ;

namespace sysaudio::testing {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A descriptor that is closed when it goes, unless released first.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~OwnedFd() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  OwnedFd read;
  OwnedFd write;
};

Pipe makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throwErrno("pipe2");
  }
  return {OwnedFd(fds[0]), OwnedFd(fds[1])};
}

void setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    throwErrno("fcntl O_NONBLOCK");
  }
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  return environment;
}

// The program's path as execve needs it, looked up in the child's PATH before the fork, since
// the child may not allocate after it.
std::string resolveProgram(const std::string& name, const std::vector<std::string>& environment) {
  if (name.find('/') != std::string::npos) {
    return name;
  }
  std::string_view path = "/usr/local/bin:/usr/bin:/bin";
  for (const std::string& entry : environment) {
    if (entry.starts_with("PATH=")) {
      path = std::string_view(entry).substr(5);
    }
  }
  for (;;) {
    const std::size_t end = path.find(':');
    const std::string_view directory = path.substr(0, end);
    // An empty entry is the current directory.
    std::string candidate(directory.empty() ? std::string_view(".") : directory);
    candidate += '/';
    candidate += name;
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (end == std::string_view::npos) {
      break;
    }
    path.remove_prefix(end + 1);
  }
  throw std::runtime_error("program not found in PATH: " + name);
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& string : strings) {
    pointers.push_back(string.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

void writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

// In a forked child: the signal state a freshly started program expects, whatever the test
// process has, with the broken-pipe signal as asked.
void resetSignals(BrokenPipe brokenPipe) {
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    if (signalNumber != SIGKILL && signalNumber != SIGSTOP) {
      ::signal(signalNumber, SIG_DFL);
    }
  }
  ::signal(SIGPIPE, brokenPipe == BrokenPipe::ignored ? SIG_IGN : SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void execOrDie(const char* path, char* const* argv, char* const* envp) {
  execve(path, argv, envp);
  static constexpr std::string_view message = "process_runner: execve failed: ";
  writeAll(STDERR_FILENO, message.data(), message.size());
  writeAll(STDERR_FILENO, path, std::strlen(path));
  writeAll(STDERR_FILENO, "\n", 1);
  _exit(127);
}

// Descriptor numbers the detached intermediate reports through.
constexpr int statusReportFd = 3;
constexpr int pidReportFd = 4;

}  // namespace

bool ExitStatus::exited() const {
  return WIFEXITED(raw);
}
int ExitStatus::code() const {
  return exited() ? WEXITSTATUS(raw) : -1;
}
int ExitStatus::signal() const {
  return WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
}
std::string ExitStatus::describe() const {
  if (exited()) {
    return "exited with status " + std::to_string(code());
  }
  if (signal() != 0) {
    return "killed by signal " + std::to_string(signal()) + " (" + strsignal(signal()) + ")";
  }
  return "wait status " + std::to_string(raw);
}

Process::Process(std::vector<std::string> argv, ProcessOptions options)
    : options_(std::move(options)) {
  if (argv.empty()) {
    throw std::invalid_argument("Process needs a program");
  }
  spawn(argv);
  reader_ = std::thread([this] { readLoop(); });
}

void Process::spawn(const std::vector<std::string>& argvStrings) {
  std::vector<std::string> environment = options_.environment.value_or(currentEnvironment());
  std::string path = resolveProgram(argvStrings.front(), environment);
  std::vector<std::string> arguments = argvStrings;
  const std::vector<char*> argv = pointersTo(arguments);
  const std::vector<char*> envp = pointersTo(environment);

  Pipe out;
  if (options_.stdoutFile) {
    out.write = OwnedFd(open(options_.stdoutFile->c_str(), O_WRONLY | O_CLOEXEC));
    if (out.write.get() < 0) {
      throwErrno("open " + *options_.stdoutFile);
    }
  } else {
    out = makePipe();
  }
  Pipe err = makePipe();
  if (options_.errorStream == ErrorStream::pipeWithoutReader) {
    // Closed before the fork, so that not even the child holds a reading end for a moment.
    err.read.reset();
  }
  Pipe wakePipe = makePipe();
  Pipe in;
  if (options_.stdinPipe) {
    in = makePipe();
  } else {
    in.read = OwnedFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (in.read.get() < 0) {
      throwErrno("open /dev/null");
    }
  }
  Pipe statusReport;
  Pipe pidReport;
  if (options_.detached) {
    statusReport = makePipe();
    pidReport = makePipe();
  }

  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    throwErrno("fork");
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on: the test process has other threads.
    if (options_.ownProcessGroup || options_.detached) {
      setpgid(0, 0);
    }
    resetSignals(options_.brokenPipe);
    dup2(in.read.get(), STDIN_FILENO);
    dup2(out.write.get(), STDOUT_FILENO);
    dup2(err.write.get(), STDERR_FILENO);
    if (options_.errorStream == ErrorStream::closed) {
      close(STDERR_FILENO);
    }
    if (!options_.detached) {
      // Nothing else of the test process stays open in the child, above all no copy of the
      // reading end of another child's output, which would keep that pipe from breaking.
      close_range(3, ~0U, 0);
      execOrDie(path.c_str(), argv.data(), envp.data());
    }
    // Moved above the target numbers first, so that neither dup2 overwrites the other's source.
    const int status = fcntl(statusReport.write.get(), F_DUPFD, 10);
    const int pidOut = fcntl(pidReport.write.get(), F_DUPFD, 10);
    dup2(status, statusReportFd);
    dup2(pidOut, pidReportFd);
    close_range(pidReportFd + 1, ~0U, 0);
    const pid_t intermediate = getpid();
    const pid_t middle = fork();
    if (middle != 0) {
      // The intermediate leaves at once; what it started is no descendant of the test any more.
      _exit(middle < 0 ? 126 : 0);
    }
    // But only once it has left: a loaded machine may hold it up while the program starts,
    // and a program that plays at once would be seen as the test's descendant.
    while (getppid() == intermediate) {
      const timespec pause{0, 1'000'000};
      nanosleep(&pause, nullptr);
    }
    const pid_t program = fork();
    if (program == 0) {
      close(statusReportFd);
      close(pidReportFd);
      execOrDie(path.c_str(), argv.data(), envp.data());
    }
    if (program > 0) {
      writeAll(pidReportFd, &program, sizeof program);
    }
    close(pidReportFd);
    int waitStatus = 0;
    while (program > 0 && waitpid(program, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    if (program > 0) {
      writeAll(statusReportFd, &waitStatus, sizeof waitStatus);
    }
    _exit(0);
  }

  // Either side may get there first; both set it so that signals to the group reach it at once.
  if (options_.ownProcessGroup || options_.detached) {
    setpgid(child, child);
    group_ = child;
  }
  startedAt_ = SteadyClock::now();
  out.write.reset();
  err.write.reset();
  in.read.reset();
  if (options_.detached) {
    statusReport.write.reset();
    pidReport.write.reset();
    int intermediateStatus = 0;
    while (waitpid(child, &intermediateStatus, 0) < 0 && errno == EINTR) {
    }
    pid_t program = -1;
    if (read(pidReport.read.get(), &program, sizeof program) != sizeof program) {
      killGroup();
      throw std::runtime_error("the detached program did not start: " + path);
    }
    pid_ = program;
    exitWatch_ = statusReport.read.release();
  } else {
    pid_ = child;
    // Through syscall: glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0) {
      killGroup();
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      throwErrno("pidfd_open");
    }
    exitWatch_ = pidfd;
  }
  outRead_ = out.read.release();
  errRead_ = err.read.release();
  wakeRead_ = wakePipe.read.release();
  wakeWrite_ = wakePipe.write.release();
  stdinWrite_ = in.write.release();
  for (const int fd : {outRead_, errRead_, exitWatch_, wakeRead_, wakeWrite_}) {
    if (fd >= 0) {
      setNonBlocking(fd);
    }
  }
}

Process::~Process() {
  // The whole group, so that anything the program started goes with it.
  killGroup();
  if (!options_.detached) {
    kill(pid_, SIGKILL);
  }
  waitUntil([](const ProcessOutput& output) { return output.ended; }, std::chrono::seconds(10));
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake();
  reader_.join();
  for (const int fd : {outRead_, errRead_, exitWatch_, wakeRead_, wakeWrite_, stdinWrite_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void Process::wake() const {
  const char byte = 0;
  // A full wake pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t ignored = write(wakeWrite_, &byte, 1);
}

void Process::readLoop() {
  for (;;) {
    bool outPaused = false;
    {
      std::lock_guard lock(mutex_);
      outPaused = outPaused_;
      if (stopRequested_) {
        return;
      }
      if (closeOutRequested_ && outRead_ >= 0) {
        close(outRead_);
        outRead_ = -1;
        output_.outClosed = true;
        changed_.notify_all();
      }
    }
    // poll passes over a negative descriptor: a paused or absent stream is not read.
    std::array<pollfd, 4> fds{{{wakeRead_, POLLIN, 0},
                               {outPaused ? -1 : outRead_, POLLIN, 0},
                               {errRead_, POLLIN, 0},
                               {exitWatch_, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throwErrno("poll");
    }
    if (fds[0].revents != 0) {
      char drained[64];
      while (read(wakeRead_, drained, sizeof drained) > 0) {
      }
    }
    if (fds[1].revents != 0) {
      readAvailable(outRead_, output_.out, output_.outArrivals);
    }
    if (fds[2].revents != 0) {
      readAvailable(errRead_, output_.err, output_.errArrivals);
    }
    if (fds[3].revents != 0) {
      collectExit();
    }
  }
}

bool Process::readAvailable(int& fd, std::string& stream, std::vector<Arrival>& arrivals) {
  char chunk[65536];
  for (;;) {
    if (fd < 0) {
      return false;
    }
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      return true;
    }
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      close(fd);
      fd = -1;
    } else {
      stream.append(chunk, static_cast<std::size_t>(n));
      arrivals.push_back({SteadyClock::now(), stream.size()});
    }
    changed_.notify_all();
  }
}

void Process::collectExit() {
  std::optional<ExitStatus> status;
  if (options_.detached) {
    int raw = 0;
    const ssize_t n = read(exitWatch_, &raw, sizeof raw);
    if (n < 0 && errno == EAGAIN) {
      return;
    }
    if (n == sizeof raw) {
      status = ExitStatus{raw};
    }
  } else {
    int raw = 0;
    const pid_t reaped = waitpid(pid_, &raw, WNOHANG);
    if (reaped == 0 || (reaped < 0 && errno == EINTR)) {
      return;
    }
    if (reaped == pid_) {
      status = ExitStatus{raw};
    }
  }
  const auto endedAt = SteadyClock::now();
  // Whatever the process wrote before it ended is in the pipes now: take it, so that the
  // output that goes with the exit status is complete.
  readAvailable(outRead_, output_.out, output_.outArrivals);
  readAvailable(errRead_, output_.err, output_.errArrivals);
  std::lock_guard lock(mutex_);
  close(exitWatch_);
  exitWatch_ = -1;
  output_.status = status;
  output_.ended = true;
  output_.endedAt = endedAt;
  changed_.notify_all();
}

ProcessOutput Process::snapshot() const {
  std::lock_guard lock(mutex_);
  return output_;
}

bool Process::waitUntil(const std::function<bool(const ProcessOutput&)>& condition,
                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return condition(output_); });
}

std::optional<ExitStatus> Process::waitForExit(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return output_.ended; })) {
    return std::nullopt;
  }
  return output_.status;
}

bool Process::hasEnded() const {
  std::lock_guard lock(mutex_);
  return output_.ended;
}

void Process::closeStdout() {
  std::unique_lock lock(mutex_);
  closeOutRequested_ = true;
  wake();
  changed_.wait(lock, [this] { return output_.outClosed || outRead_ < 0; });
}

void Process::pauseStdout() {
  {
    std::lock_guard lock(mutex_);
    outPaused_ = true;
  }
  wake();
}

void Process::resumeStdout() {
  {
    std::lock_guard lock(mutex_);
    outPaused_ = false;
  }
  wake();
}

void Process::writeStdin(const std::string& bytes) {
  if (stdinWrite_ < 0) {
    throw std::logic_error("the process was started without a standard input pipe");
  }
  // A child may well have closed its standard input (paplay puts its file there): the write
  // then fails, and the broken-pipe signal it raises must not end the test process. Held back
  // in this thread only, and taken away if this write raised it.
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  writeAll(stdinWrite_, bytes.data(), bytes.size());
  if (!alreadyPending) {
    const timespec noWait{};
    sigtimedwait(&brokenPipe, nullptr, &noWait);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Process::killGroup() const {
  // Without a group of its own, the group is the test process's.
  if (group_ > 0) {
    kill(-group_, SIGKILL);
  }
}

void Process::signal(int signalNumber) const {
  kill(pid_, signalNumber);
}

std::vector<float> wholeSamplesOf(const std::string& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  if (!samples.empty()) {
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  }
  return samples;
}

std::vector<std::string> environmentWithoutAudioSession() {
  static constexpr std::array<std::string_view, 9> dropped = {
      "XDG_RUNTIME_DIR",     "XDG_CONFIG_HOME", "XDG_STATE_HOME",
      "XDG_DATA_HOME",       "XDG_CACHE_HOME",  "DBUS_SESSION_BUS_ADDRESS",
      "JACK_DEFAULT_SERVER", "DISPLAY",         "WAYLAND_DISPLAY"};
  // PIPEWIRE_DEBUG and the like are among them too: they would add lines to standard error.
  static constexpr std::array<std::string_view, 3> droppedPrefixes = {"PIPEWIRE_", "PULSE_",
                                                                      "WIREPLUMBER_"};
  std::vector<std::string> environment;
  for (const std::string& entry : currentEnvironment()) {
    const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
    bool drop = false;
    for (const std::string_view candidate : dropped) {
      drop = drop || name == candidate;
    }
    for (const std::string_view prefix : droppedPrefixes) {
      drop = drop || name.starts_with(prefix);
    }
    if (!drop) {
      environment.push_back(entry);
    }
  }
  return environment;
}

std::string printable(const std::string& bytes) {
  std::ostringstream text;
  text << '"';
  for (const char byte : bytes) {
    if (byte == '\n') {
      text << "\\n";
    } else if (byte == '"' || byte == '\\') {
      text << '\\' << byte;
    } else if (byte >= 0x20 && byte < 0x7f) {
      text << byte;
    } else {
      text << "\\x" << std::hex << (static_cast<unsigned>(byte) & 0xff) << std::dec;
    }
  }
  text << '"';
  return text.str();
}

std::string statusText(const ProcessOutput& output) {
  if (!output.ended) {
    return "still running";
  }
  return output.status ? output.status->describe() : "ended with an unknown status";
}

}  // namespace sysaudio::testing
