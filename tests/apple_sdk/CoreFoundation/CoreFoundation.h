// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// CoreFoundation (CFBase.h) and the MacTypes.h types it brings, limited to what the backend uses.
#pragma once

#include <stdint.h>

typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef unsigned char Boolean;
typedef SInt32 OSStatus;
enum { noErr = 0 };

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;

#ifdef __cplusplus
extern "C" {
#endif

extern const CFAllocatorRef kCFAllocatorDefault;
void CFRelease(CFTypeRef cf);

#ifdef __cplusplus
}
#endif
