// Declarations for the macOS backend's compile check on Linux only; never used in a real build.
// ScreenCaptureKit (SCShareableContent.h, SCStream.h, SCError.h), limited to what the backend
// uses. Everything here is macOS 12.3 or later, except the audio properties of the stream
// configuration and the audio output type, which are macOS 13.0.
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#include <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <sys/types.h>

#pragma clang assume_nonnull begin

extern NSErrorDomain const SCStreamErrorDomain;

@interface SCDisplay : NSObject
@property(readonly) CGDirectDisplayID displayID;
@end

@interface SCRunningApplication : NSObject
@property(readonly) NSString* bundleIdentifier;
@property(readonly) NSString* applicationName;
@property(readonly) pid_t processID;
@end

@interface SCWindow : NSObject
@end

@interface SCShareableContent : NSObject
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:
                                     (void (^)(SCShareableContent* _Nullable shareableContent,
                                               NSError* _Nullable error))completionHandler;
@property(readonly) NSArray<SCDisplay*>* displays;
@property(readonly) NSArray<SCRunningApplication*>* applications;
@end

@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay*)display
          excludingApplications:(NSArray<SCRunningApplication*>*)applications
               exceptingWindows:(NSArray<SCWindow*>*)exceptingWindows;
@end

@interface SCStreamConfiguration : NSObject
@property(nonatomic, assign) size_t width;
@property(nonatomic, assign) size_t height;
@property(nonatomic, assign) CMTime minimumFrameInterval;
@property(nonatomic, assign) BOOL capturesAudio;
@property(nonatomic, assign) NSInteger sampleRate;
@property(nonatomic, assign) NSInteger channelCount;
@property(nonatomic, assign) BOOL excludesCurrentProcessAudio;
@end

typedef enum SCStreamOutputType : NSInteger {
  SCStreamOutputTypeScreen,
  SCStreamOutputTypeAudio,
} SCStreamOutputType;

@class SCStream;

@protocol SCStreamOutput <NSObject>
@optional
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
@end

@protocol SCStreamDelegate <NSObject>
@optional
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@end

@interface SCStream : NSObject
- (instancetype)initWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)streamConfig
                      delegate:(nullable id<SCStreamDelegate>)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                   type:(SCStreamOutputType)type
     sampleHandlerQueue:(nullable dispatch_queue_t)sampleHandlerQueue
                  error:(NSError**)error;
- (BOOL)removeStreamOutput:(id<SCStreamOutput>)output
                      type:(SCStreamOutputType)type
                     error:(NSError**)error;
- (void)startCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)stopCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
@end

#pragma clang assume_nonnull end
