// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// The Objective-C root class and the runtime's basic types, as the macOS SDK declares them
// (objc/objc.h, objc/NSObject.h), limited to what the backend uses.
#pragma once

#include <stdbool.h>

// BOOL is bool on arm64 and signed char on x86_64.
#if defined(__aarch64__) || defined(__arm64__)
typedef bool BOOL;
#else
typedef signed char BOOL;
#endif
#define YES ((BOOL)1)
#define NO ((BOOL)0)

#ifndef nil
#define nil nullptr
#endif

@protocol NSObject
- (BOOL)isEqual:(id)object;
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject> {
  Class isa;
}
+ (instancetype)alloc;
+ (instancetype)new;
- (instancetype)init;
@end
