// PipeWire's own log. The library and every plugin it loads write their messages through one
// log object, which would be the library's default one that prints to standard error; that
// channel carries only sysaudio's status lines, so the messages come here instead and go to a
// file the user names, or nowhere.
#pragma once

#include <spa/support/log.h>

#include <cstdarg>
#include <optional>
#include <string_view>

namespace sysaudio::pipewire {

// The level a PIPEWIRE_DEBUG value asks for: a level alone ("3", "I"), or the highest level of
// its topic patterns ("pw.conf:4,spa.*:2" gives 4). Levels are 0 to 5 or one of X E W I D T.
// Nothing when the value says no level that can be read.
std::optional<spa_log_level> requestedLogLevel(std::string_view debug);

class LibraryLog {
 public:
  // Appends the messages to the file at path, created when missing; with no path, or one that
  // cannot be opened, drops them. Installs itself as the library's log: it must be made before
  // pw_init and before anything creates a loop or a context, so that the plugins, which take
  // the log the library has when they load, get it too.
  //
  // The library reads PIPEWIRE_DEBUG only for its own log, so the level is set here from it
  // (requestedLogLevel). Without it the library itself takes the log.level of its client
  // configuration, and by default it sends warnings and errors. PIPEWIRE_LOG, another file for
  // the library's own log, does nothing.
  LibraryLog(const char* path, const char* debug);
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;
  // Gives the library its default log back.
  ~LibraryLog();

 private:
  static void logtv(void* object, spa_log_level level, const spa_log_topic* topic, const char* file,
                    int line, const char* function, const char* format, va_list arguments);
  static void logt(void* object, spa_log_level level, const spa_log_topic* topic, const char* file,
                   int line, const char* function, const char* format, ...);
  static void logv(void* object, spa_log_level level, const char* file, int line,
                   const char* function, const char* format, va_list arguments);
  static void log(void* object, spa_log_level level, const char* file, int line,
                  const char* function, const char* format, ...);
  static void topicInit(void* object, spa_log_topic* topic);

  void write(spa_log_level level, const spa_log_topic* topic, const char* file, int line,
             const char* function, const char* format, va_list arguments) const;

  int fd_ = -1;
  spa_log log_{};
};

}  // namespace sysaudio::pipewire
