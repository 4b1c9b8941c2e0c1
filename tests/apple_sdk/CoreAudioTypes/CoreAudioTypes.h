// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// CoreAudioTypes (CoreAudioBaseTypes.h), limited to the audio buffer list.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* _Nullable mData;
};
typedef struct AudioBuffer AudioBuffer;

// mBuffers holds mNumberBuffers entries; the list is allocated to fit them.
struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];
};
typedef struct AudioBufferList AudioBufferList;
