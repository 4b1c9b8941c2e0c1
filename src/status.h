// The status channel on standard error: one "ready" line once the capture runs, or one error
// line just before the process ends with status 1. Nothing else ever reaches the parent there.
#pragma once

#include <string_view>

namespace sysaudio {

// The variable that names a file for the libraries' own messages, which never go to standard
// error; unset, they are dropped.
inline constexpr const char* diagnosticLogVariable = "SYSAUDIO_LOG";

// Keeps the status channel on a descriptor of its own and points descriptor 2 at logPath
// (appended to) or, when it is null, empty or cannot be opened, at /dev/null, so that whatever
// else in the process writes to standard error never reaches the parent. Called once, first
// thing, before any other thread runs. Until then the status lines go to descriptor 2.
void takeOverStandardError(const char* logPath);

// Writes "error: ", the message and a line feed to standard error at once, then exits with
// status 1. Only the first error line of the process is written: a later call, from any
// thread, writes nothing and waits for the process to end.
[[noreturn]] void fail(std::string_view message);

// fail for an error that may come before "ready" or after it: with beforeReady's message
// while "ready" has not been written, with afterReady's once it has. The choice and the line
// are one step, so "ready" never follows it.
[[noreturn]] void failBeforeOrAfterReady(std::string_view beforeReady, std::string_view afterReady);

// Writes "ready" and a line feed to standard error at once, unless an error line has been
// written: nothing ever follows an error line.
void reportReady();

}  // namespace sysaudio
