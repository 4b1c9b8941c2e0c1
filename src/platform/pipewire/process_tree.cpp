#include "platform/pipewire/process_tree.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace sysaudio::pipewire {

namespace {

struct ProcessStatus {
  std::string name;
  ProcessLinks links;
};

// /proc/PID/stat is "PID (NAME) STATE PPID PGRP ...", where NAME may itself hold spaces and
// parentheses; the last ')' ends it.
std::optional<ProcessStatus> statusOf(pid_t process) {
  std::ifstream file("/proc/" + std::to_string(process) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    return std::nullopt;
  }
  std::istringstream rest(text.substr(close + 1));
  std::string state;
  long parent = 0;
  long group = 0;
  if (!(rest >> state >> parent >> group)) {
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
