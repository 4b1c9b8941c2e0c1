#include "platform/pipewire/pipewire_log.h"

#include <fcntl.h>
#include <pipewire/log.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace sysaudio::pipewire {

namespace {

char levelLetter(spa_log_level level) {
  constexpr std::string_view letters = "-EWIDT";
  const auto index = static_cast<std::size_t>(level);
  return index < letters.size() ? letters[index] : '?';
}

const char* baseName(const char* path) {
  if (path == nullptr) {
    return "?";
  }
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

std::optional<spa_log_level> levelNamed(std::string_view name) {
  constexpr std::string_view letters = "XEWIDT";
  constexpr std::string_view digits = "012345";
  if (name.size() != 1) {
    return std::nullopt;
  }
  std::size_t index = letters.find(name.front());
  if (index == std::string_view::npos) {
    index = digits.find(name.front());
  }
  if (index == std::string_view::npos) {
    return std::nullopt;
  }
  return static_cast<spa_log_level>(index);
}

}  // namespace

std::optional<spa_log_level> requestedLogLevel(std::string_view debug) {
  std::optional<spa_log_level> highest;
  while (!debug.empty()) {
    const std::size_t comma = debug.find(',');
    std::string_view entry = debug.substr(0, comma);
    debug.remove_prefix(comma == std::string_view::npos ? debug.size() : comma + 1);
    if (const std::size_t colon = entry.rfind(':'); colon != std::string_view::npos) {
      entry.remove_prefix(colon + 1);
    }
    const std::optional<spa_log_level> level = levelNamed(entry);
    if (level && (!highest || *level > *highest)) {
      highest = level;
    }
  }
  return highest;
}

LibraryLog::LibraryLog(const char* path, const char* debug) {
  if (path != nullptr && *path != '\0') {
    // Non-blocking, so that a FIFO without a reader is refused rather than waited for.
    fd_ = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  }
  static const spa_log_methods methods = [] {
    spa_log_methods methods{};
    methods.version = SPA_VERSION_LOG_METHODS;
    methods.log = &LibraryLog::log;
    methods.logv = &LibraryLog::logv;
    methods.logt = &LibraryLog::logt;
    methods.logtv = &LibraryLog::logtv;
    methods.topic_init = &LibraryLog::topicInit;
    return methods;
  }();
  log_.iface = SPA_INTERFACE_INIT(SPA_TYPE_INTERFACE_Log, SPA_VERSION_LOG, &methods, this);
  pw_log_set(&log_);
  if (const std::optional<spa_log_level> level = requestedLogLevel(debug != nullptr ? debug : "")) {
    pw_log_set_level(*level);
  }
}

LibraryLog::~LibraryLog() {
  pw_log_set(nullptr);
  if (fd_ >= 0) {
    close(fd_);
  }
}

void LibraryLog::logtv(void* object, spa_log_level level, const spa_log_topic* topic,
                       const char* file, int line, const char* function, const char* format,
                       va_list arguments) {
  static_cast<const LibraryLog*>(object)->write(level, topic, file, line, function, format,
                                                arguments);
}

void LibraryLog::logt(void* object, spa_log_level level, const spa_log_topic* topic,
                      const char* file, int line, const char* function, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  logtv(object, level, topic, file, line, function, format, arguments);
  va_end(arguments);
}

void LibraryLog::logv(void* object, spa_log_level level, const char* file, int line,
                      const char* function, const char* format, va_list arguments) {
  logtv(object, level, nullptr, file, line, function, format, arguments);
}

void LibraryLog::log(void* object, spa_log_level level, const char* file, int line,
                     const char* function, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  logtv(object, level, nullptr, file, line, function, format, arguments);
  va_end(arguments);
}

// With nowhere to write, every topic is switched off where the library looks before it calls,
// so that it does not even format what would be dropped (PIPEWIRE_DEBUG=5 asks for traces from
// the real-time thread).
void LibraryLog::topicInit(void* object, spa_log_topic* topic) {
  if (static_cast<const LibraryLog*>(object)->fd_ < 0) {
    topic->has_custom_level = true;
    topic->level = SPA_LOG_LEVEL_NONE;
  }
}

// One line, formatted on the stack and written with one call, so that lines from the library's
// threads never interleave. The file was asked for to find a fault, so this may run on the
// real-time thread; messages longer than the buffer are cut short.
void LibraryLog::write(spa_log_level level, const spa_log_topic* topic, const char* file, int line,
                       const char* function, const char* format, va_list arguments) const {
  if (fd_ < 0) {
    return;
  }
  char text[1024];
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  const int prefix = std::snprintf(
      text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ sysaudio[%d] %c %s [%s:%d %s()] ",
      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
      now.tv_nsec / 1000, static_cast<int>(getpid()), levelLetter(level),
      topic != nullptr && topic->topic != nullptr ? topic->topic : "pw", baseName(file), line,
      function != nullptr ? function : "?");
  if (prefix < 0) {
    return;
  }
  // The last byte is kept for the line feed.
  const std::size_t room = sizeof text - 1;
  std::size_t length = std::min(static_cast<std::size_t>(prefix), room);
  const int message = std::vsnprintf(text + length, sizeof text - length, format, arguments);
  if (message > 0) {
    length = std::min(length + static_cast<std::size_t>(message), room - 1);
  }
  text[length++] = '\n';
  [[maybe_unused]] const ssize_t ignored = ::write(fd_, text, length);
}

}  // namespace sysaudio::pipewire
