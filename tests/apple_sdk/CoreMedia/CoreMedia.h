// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// CoreMedia (CMTime.h, CMBlockBuffer.h, CMSampleBuffer.h), limited to what the backend uses.
#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>
#include <stdint.h>

typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef uint32_t CMTimeFlags;
typedef int64_t CMTimeEpoch;

#pragma pack(push, 4)
typedef struct {
  CMTimeValue value;
  CMTimeScale timescale;
  CMTimeFlags flags;
  CMTimeEpoch epoch;
} CMTime;
#pragma pack(pop)

typedef struct __attribute__((objc_bridge(id))) opaqueCMSampleBuffer* CMSampleBufferRef;
typedef struct __attribute__((objc_bridge(id))) OpaqueCMBlockBuffer* CMBlockBufferRef;

#ifdef __cplusplus
extern "C" {
#endif

CMTime CMTimeMake(int64_t value, int32_t timescale);

Boolean CMSampleBufferIsValid(CMSampleBufferRef _Nonnull sbuf);

OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef _Nonnull sbuf, size_t* _Nullable bufferListSizeNeededOut,
    AudioBufferList* _Nullable bufferListOut, size_t bufferListSize,
    CFAllocatorRef _Nullable blockBufferStructureAllocator,
    CFAllocatorRef _Nullable blockBufferBlockAllocator, uint32_t flags,
    CMBlockBufferRef _Nullable* _Nullable blockBufferOut);

#ifdef __cplusplus
}
#endif
