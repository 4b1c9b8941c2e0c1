#include "platform/pipewire/sample_slots.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace sysaudio::pipewire {
namespace {

TEST(SampleSlotsTest, HandsOutEachSlotOnceUntilItComesBack) {
  SampleSlots slots(16, 2);
  std::set<std::size_t> taken;
  for (std::size_t i = 0; i < SampleSlots::slotCount; ++i) {
    const auto slot = slots.acquire();
    ASSERT_TRUE(slot.has_value());
    EXPECT_TRUE(taken.insert(*slot).second);
  }
  EXPECT_EQ(slots.acquire(), std::nullopt);
  slots.release(17);
  EXPECT_EQ(slots.acquire(), 17u);
  EXPECT_EQ(slots.acquire(), std::nullopt);
}

TEST(SampleSlotsTest, SlotsDoNotOverlap) {
  SampleSlots slots(4, 2);
  for (std::size_t slot = 0; slot < SampleSlots::slotCount; ++slot) {
    for (std::size_t i = 0; i < 8; ++i) {
      slots.samples(slot)[i] = static_cast<float>(slot * 8 + i);
    }
  }
  for (std::size_t slot = 0; slot < SampleSlots::slotCount; ++slot) {
    EXPECT_EQ(slots.samples(slot)[0], static_cast<float>(slot * 8));
    EXPECT_EQ(slots.samples(slot)[7], static_cast<float>(slot * 8 + 7));
  }
}

TEST(SampleSlotsTest, AProducerAndAConsumerOnTwoThreadsNeverShareASlot) {
  SampleSlots slots(1, 1);
  std::vector<std::size_t> handedOver;
  std::mutex mutex;
  std::atomic<bool> clash{false};
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    for (;;) {
      std::size_t slot;
      {
        std::lock_guard lock(mutex);
        if (handedOver.empty()) {
          if (done) {
            return;
          }
          continue;
        }
        slot = handedOver.back();
        handedOver.pop_back();
      }
      if (slots.samples(slot)[0] != static_cast<float>(slot)) {
        clash = true;
      }
      slots.samples(slot)[0] = -1.0f;
      slots.release(slot);
    }
  });
  for (int i = 0; i < 200000; ++i) {
    const auto slot = slots.acquire();
    if (!slot) {
      continue;
    }
    slots.samples(*slot)[0] = static_cast<float>(*slot);
    std::lock_guard lock(mutex);
    handedOver.push_back(*slot);
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  consumer.join();
  EXPECT_FALSE(clash.load());
}

TEST(SlotSampleBufferTest, LendsOneInterleavedBufferOfTheSlotsFrames) {
  const float samples[] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
  const SlotSampleBuffer buffer(samples, 3, 2);
  EXPECT_TRUE(buffer.isValid());
  bool called = false;
  const auto error = buffer.withAudioBufferList([&](AudioBufferList list) {
    called = true;
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].numberChannels, 2u);
    EXPECT_EQ(list[0].dataByteSize, 24u);
    EXPECT_EQ(list[0].data, samples);
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(error, std::nullopt);
}

}  // namespace
}  // namespace sysaudio::pipewire
