#include "platform/screencapturekit/audio_buffer_list_scratch.h"

#include <algorithm>

namespace sysaudio::screencapturekit {

void* AudioBufferListScratch::listStorage(std::size_t bytes) {
  // Never none at all, so that even a list said to take no bytes has somewhere to be.
  const std::size_t units =
      std::max<std::size_t>((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), 1);
  if (list_.size() < units) {
    list_.resize(units);
  }
  return list_.data();
}

}  // namespace sysaudio::screencapturekit
