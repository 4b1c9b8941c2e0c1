// Storage that one stream output reuses for the audio buffer lists of its sample buffers, so
// that a steady stream of equally sized buffers allocates nothing. Touched only on the output's
// queue.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/sample_buffer.h"

namespace sysaudio::screencapturekit {

class AudioBufferListScratch {
 public:
  // Room, never null, for a system buffer list of this many bytes, aligned for any of its
  // fields and zeroed when first handed out; it stays valid until the next call. Grows to the
  // largest size asked for and never shrinks.
  void* listStorage(std::size_t bytes);

  // The list's entries as the seam describes them; cleared and refilled for every list.
  std::vector<AudioBuffer>& entries() { return entries_; }

 private:
  std::vector<std::max_align_t> list_;
  std::vector<AudioBuffer> entries_;
};

}  // namespace sysaudio::screencapturekit
