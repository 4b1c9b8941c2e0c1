// The process ends once. Standard output's reader can go at the moment an error is reported:
// two threads would then call exit together, which runs the process's exit handlers twice at
// once, and the status could be 0 after an error line. The first thread to claim the end ends
// the process; any other that tries waits for that end.
#pragma once

namespace sysaudio {

// True for the first caller in the process, whatever its thread; false for every later one.
bool claimProcessEnd();

// Waits on the calling thread, for good, for the end another thread has claimed.
[[noreturn]] void waitForProcessEnd();

// Ends the process with status through exit, unless another thread has claimed the end first:
// then this one waits for that end.
[[noreturn]] void endProcess(int status);

}  // namespace sysaudio
