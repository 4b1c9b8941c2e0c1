#include "platform/screencapturekit/audio_buffer_list_scratch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace sysaudio::screencapturekit {
namespace {

TEST(AudioBufferListScratchTest, GivesAlignedRoomForEverySizeAndReusesItOnceLargeEnough) {
  AudioBufferListScratch scratch;
  void* const empty = scratch.listStorage(0);
  ASSERT_NE(empty, nullptr);
  // Zeroed: a list in it counts no buffers until the system fills it.
  EXPECT_EQ(*static_cast<const std::uint32_t*>(empty), 0u);

  void* previous = nullptr;
  for (const std::size_t bytes : {std::size_t{24}, std::size_t{25}, std::size_t{1000}}) {
    void* const storage = scratch.listStorage(bytes);
    ASSERT_NE(storage, nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(storage) % alignof(std::max_align_t), 0u) << bytes;
    // All of it can be written; a sanitizer build catches a byte short.
    std::memset(storage, 0xA5, bytes);
    previous = storage;
  }
  // Smaller lists after a large one take the same room: nothing is allocated for them.
  EXPECT_EQ(scratch.listStorage(24), previous);
  EXPECT_EQ(scratch.listStorage(1000), previous);
}

}  // namespace
}  // namespace sysaudio::screencapturekit
