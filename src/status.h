// The status channel on standard error: one "ready" line once the capture runs, or one error
// line just before the process ends with status 1.
#pragma once

#include <string_view>

namespace sysaudio {

// Writes "error: ", the message and a line feed to standard error at once, then exits with
// status 1.
[[noreturn]] void fail(std::string_view message);

// Writes "ready" and a line feed to standard error at once.
void reportReady();

}  // namespace sysaudio
