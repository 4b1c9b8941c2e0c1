#include "platform/pipewire/process_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <string_view>

namespace sysaudio::pipewire {

namespace {

struct ProcessStatus {
  std::string name;
  ProcessLinks links;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (descriptor_ >= 0) {
      close(descriptor_);
    }
  }
  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

// The whole of a small file, read with plain system calls: C++ streams would bring the locale
// machinery into the process, hundreds of KiB of it resident, for this one use.
std::string contentsOf(const std::string& path) {
  std::string text;
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return text;
  }
  char chunk[1024];
  for (;;) {
    const ssize_t got = read(file.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return text;
    }
    text.append(chunk, static_cast<std::size_t>(got));
  }
}

// /proc/PID/stat is "PID (NAME) STATE PPID PGRP ...", where NAME may itself hold spaces and
// parentheses; the last ')' ends it.
std::optional<ProcessStatus> statusOf(pid_t process) {
  const std::string text = contentsOf("/proc/" + std::to_string(process) + "/stat");
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return std::nullopt;
  }
  // ") STATE PPID": one space, the state's one character, one space.
  std::string_view rest = std::string_view(text).substr(close + 1);
  const auto stateStart = rest.find_first_not_of(' ');
  if (stateStart == std::string_view::npos) {
    return std::nullopt;
  }
  rest.remove_prefix(stateStart);
  const auto stateEnd = rest.find(' ');
  if (stateEnd == std::string_view::npos) {
    return std::nullopt;
  }
  rest.remove_prefix(stateEnd);
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  long parent = 0;
  const auto parsedParent = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
  if (parsedParent.ec != std::errc() || parsedParent.ptr == rest.data()) {
    return std::nullopt;
  }
  rest.remove_prefix(static_cast<std::size_t>(parsedParent.ptr - rest.data()));
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  long group = 0;
  const auto parsedGroup = std::from_chars(rest.data(), rest.data() + rest.size(), group);
  if (parsedGroup.ec != std::errc() || parsedGroup.ptr == rest.data()) {
    return std::nullopt;
  }
  return ProcessStatus{text.substr(open + 1, close - open - 1),
                       {static_cast<pid_t>(parent), static_cast<pid_t>(group)}};
}

std::optional<pid_t> processIDFromName(const char* name) {
  pid_t value = 0;
  const char* end = name + std::char_traits<char>::length(name);
  const auto [last, error] = std::from_chars(name, end, value);
  if (error != std::errc() || last != end || value <= 0) {
    return std::nullopt;
  }
  return value;
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

}  // namespace

std::vector<RunningProcess> runningProcesses() {
  std::vector<RunningProcess> processes;
  const std::unique_ptr<DIR, DirectoryCloser> proc(opendir("/proc"));
  if (!proc) {
    return processes;
  }
  while (const dirent* entry = readdir(proc.get())) {
    const std::optional<pid_t> process = processIDFromName(entry->d_name);
    if (!process) {
      continue;
    }
    if (const std::optional<ProcessStatus> status = statusOf(*process)) {
      processes.push_back({*process, status->name});
    }
  }
  std::sort(processes.begin(), processes.end(),
            [](const auto& a, const auto& b) { return a.processID < b.processID; });
  return processes;
}

std::optional<ProcessLinks> linksOf(pid_t process) {
  const std::optional<ProcessStatus> status = statusOf(process);
  if (!status) {
    return std::nullopt;
  }
  return status->links;
}

bool belongsToProcessTrees(pid_t process, std::span<const pid_t> roots) {
  return belongsToApplications(process, roots, &linksOf);
}

}  // namespace sysaudio::pipewire
