// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// libdispatch (dispatch/*.h) as Objective-C with automatic reference counting sees it: its
// objects are Objective-C objects. Limited to what the backend uses.
#pragma once

#import <objc/NSObject.h>
#include <stddef.h>
#include <stdint.h>

@protocol OS_dispatch_object <NSObject>
@end
typedef NSObject<OS_dispatch_object>* dispatch_object_t;
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;
@protocol OS_dispatch_source <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_source>* dispatch_source_t;

typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)

typedef void (^dispatch_block_t)(void);
typedef void (*dispatch_function_t)(void* _Nullable);

typedef const struct dispatch_source_type_s* dispatch_source_type_t;

#define DISPATCH_QUEUE_SERIAL NULL

#ifdef __cplusplus
extern "C" {
#endif

extern const struct dispatch_source_type_s _dispatch_source_type_timer;
#define DISPATCH_SOURCE_TYPE_TIMER (&_dispatch_source_type_timer)
extern const struct dispatch_source_type_s _dispatch_source_type_data_or;
#define DISPATCH_SOURCE_TYPE_DATA_OR (&_dispatch_source_type_data_or)

__attribute__((ns_returns_retained))
dispatch_queue_t _Nonnull dispatch_queue_create(const char* _Nullable label,
                                                dispatch_queue_attr_t _Nullable attr);
void dispatch_async(dispatch_queue_t _Nonnull queue, dispatch_block_t _Nonnull block);
void dispatch_sync(dispatch_queue_t _Nonnull queue,
                   __attribute__((noescape)) dispatch_block_t _Nonnull block);
void dispatch_queue_set_specific(dispatch_queue_t _Nonnull queue, const void* _Nonnull key,
                                 void* _Nullable context, dispatch_function_t _Nullable destructor);
void* _Nullable dispatch_get_specific(const void* _Nonnull key);

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

__attribute__((ns_returns_retained))
dispatch_source_t _Nonnull dispatch_source_create(dispatch_source_type_t _Nonnull type,
                                                  uintptr_t handle, uintptr_t mask,
                                                  dispatch_queue_t _Nullable queue);
void dispatch_source_set_timer(dispatch_source_t _Nonnull source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway);
void dispatch_source_set_event_handler(dispatch_source_t _Nonnull source,
                                       dispatch_block_t _Nullable handler);
void dispatch_source_cancel(dispatch_source_t _Nonnull source);
void dispatch_source_merge_data(dispatch_source_t _Nonnull source, uintptr_t value);
void dispatch_resume(dispatch_object_t _Nonnull object);

__attribute__((noreturn)) void dispatch_main(void);

#ifdef __cplusplus
}
#endif
