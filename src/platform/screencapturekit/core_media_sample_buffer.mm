#include "platform/screencapturekit/core_media_sample_buffer.h"

#include <memory>
#include <type_traits>

namespace sysaudio::screencapturekit {

namespace {

struct CFReleaser {
  void operator()(CFTypeRef object) const { CFRelease(object); }
};

// The block buffer that holds the samples of a list, retained for the caller.
using RetainedBlockBuffer = std::unique_ptr<std::remove_pointer_t<CMBlockBufferRef>, CFReleaser>;

CaptureError bufferListError(OSStatus status) {
  return CaptureError{"NSOSStatusErrorDomain", status, "cannot read the audio of a sample buffer"};
}

}  // namespace

bool CoreMediaSampleBuffer::isValid() const {
  return CMSampleBufferIsValid(sampleBuffer_);
}

std::optional<CaptureError> CoreMediaSampleBuffer::withAudioBufferList(
    const std::function<void(AudioBufferList)>& body) const {
  // First the size of the list, then the list in storage of that size.
  size_t listSize = 0;
  OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer_, &listSize, nullptr, 0, kCFAllocatorDefault, kCFAllocatorDefault, 0, nullptr);
  if (status != noErr) {
    return bufferListError(status);
  }
  auto* list = static_cast<::AudioBufferList*>(scratch_.listStorage(listSize));
  CMBlockBufferRef blockBuffer = nullptr;
  status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer_, nullptr, list, listSize, kCFAllocatorDefault, kCFAllocatorDefault, 0,
      &blockBuffer);
  // Released on the way out, after the body has run: the list's data lives in it.
  const RetainedBlockBuffer retained(blockBuffer);
  if (status != noErr) {
    return bufferListError(status);
  }

  std::vector<AudioBuffer>& entries = scratch_.entries();
  entries.clear();
  for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
    const ::AudioBuffer& buffer = list->mBuffers[i];
    entries.push_back(
        {buffer.mNumberChannels, buffer.mDataByteSize, static_cast<const float*>(buffer.mData)});
  }
  body(entries);
  return std::nullopt;
}

}  // namespace sysaudio::screencapturekit
