#include "platform/screencapturekit/screencapturekit_stream.h"

#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

#include "platform/dispatch.h"
#include "platform/screencapturekit/audio_buffer_list_scratch.h"
#include "platform/screencapturekit/completion_once.h"
#include "platform/screencapturekit/core_media_sample_buffer.h"
#include "platform/screencapturekit/libdispatch_queue.h"
#include "platform/screencapturekit/system_error.h"

// Calls the seam's output for every sample buffer, on the queue given at registration. Detached
// on that same queue, so it needs no lock.
@interface SysaudioStreamOutputBridge : NSObject <SCStreamOutput>
- (instancetype)initWithOutput:(sysaudio::StreamOutput*)output stream:(sysaudio::Stream*)stream;
- (void)detach;
@end

@implementation SysaudioStreamOutputBridge {
  sysaudio::StreamOutput* _output;
  sysaudio::Stream* _stream;
  sysaudio::screencapturekit::AudioBufferListScratch _scratch;
}

- (instancetype)initWithOutput:(sysaudio::StreamOutput*)output stream:(sysaudio::Stream*)stream {
  self = [super init];
  if (self != nil) {
    _output = output;
    _stream = stream;
  }
  return self;
}

- (void)detach {
  _output = nullptr;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  if (_output == nullptr) {
    return;
  }
  // The system's sample buffer stays valid for the length of this call, and the view of it
  // lives no longer.
  const sysaudio::screencapturekit::CoreMediaSampleBuffer buffer(sampleBuffer, _scratch);
  _output->streamDidOutputSampleBuffer(*_stream, buffer,
                                       static_cast<sysaudio::StreamOutputType>(type));
}

@end

// Reports the stream's stop to the seam's delegate, on whatever thread the system chooses.
@interface SysaudioStreamDelegateBridge : NSObject <SCStreamDelegate>
- (instancetype)initWithDelegate:(sysaudio::StreamDelegate*)delegate
                          stream:(sysaudio::Stream*)stream;
- (void)detach;
@end

@implementation SysaudioStreamDelegateBridge {
  std::mutex _mutex;
  sysaudio::StreamDelegate* _delegate;
  sysaudio::Stream* _stream;
}

- (instancetype)initWithDelegate:(sysaudio::StreamDelegate*)delegate
                          stream:(sysaudio::Stream*)stream {
  self = [super init];
  if (self != nil) {
    _delegate = delegate;
    _stream = stream;
  }
  return self;
}

- (void)detach {
  std::lock_guard lock(_mutex);
  _delegate = nullptr;
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  std::lock_guard lock(_mutex);
  if (_delegate == nullptr) {
    return;
  }
  _delegate->streamDidStopWithError(*_stream, sysaudio::screencapturekit::captureErrorFrom(error));
}

@end

namespace sysaudio::screencapturekit {

namespace {

CaptureError startDropped() {
  return CaptureError{"sysaudio", 0, "the capture service dropped the start without an answer"};
}

}  // namespace

ScreenCaptureKitStream::ScreenCaptureKitStream(SCContentFilter* filter,
                                               SCStreamConfiguration* configuration,
                                               std::optional<CaptureError> startRefusal,
                                               StreamDelegate& delegate)
    : startRefusal_(std::move(startRefusal)),
      delegateBridge_([[SysaudioStreamDelegateBridge alloc] initWithDelegate:&delegate
                                                                      stream:this]),
      stream_([[SCStream alloc] initWithFilter:filter
                                 configuration:configuration
                                      delegate:delegateBridge_]) {}

ScreenCaptureKitStream::~ScreenCaptureKitStream() {
  for (const Registration& registration : registrations_) {
    [stream_ removeStreamOutput:registration.bridge type:registration.type error:nil];
  }
  if (startRequested_) {
    [stream_ stopCaptureWithCompletionHandler:nil];
  }
  // Sample buffers already on their way run first, then find their bridge detached.
  for (const Registration& registration : registrations_) {
    SysaudioStreamOutputBridge* bridge = registration.bridge;
    const auto detach = [bridge] { [bridge detach]; };
    if (registration.queue->isCurrent()) {
      detach();
    } else {
      registration.queue->sync(detach);
    }
  }
  [delegateBridge_ detach];
}

bool ScreenCaptureKitStream::addStreamOutput(StreamOutput& output, StreamOutputType type,
                                             SerialQueue& queue,
                                             std::optional<CaptureError>& error) {
  SysaudioStreamOutputBridge* bridge = [[SysaudioStreamOutputBridge alloc] initWithOutput:&output
                                                                                   stream:this];
  const auto systemType = static_cast<SCStreamOutputType>(type);
  NSError* failure = nil;
  // The queue itself, not one of the system's: what runs there never overlaps a sample buffer.
  if (![stream_ addStreamOutput:bridge
                           type:systemType
             sampleHandlerQueue:queue.impl().dispatchQueue
                          error:&failure]) {
    error = optionalCaptureErrorFrom(failure);
    return false;
  }
  registrations_.push_back({bridge, systemType, &queue});
  return true;
}

void ScreenCaptureKitStream::startCapture(StartCompletion completion) {
  if (startRefusal_) {
    completion(startRefusal_);
    return;
  }
  startRequested_ = true;
  const auto once = std::make_shared<CompletionOnce<std::optional<CaptureError>>>(
      std::move(completion), std::make_tuple(std::optional<CaptureError>(startDropped())));
  [stream_ startCaptureWithCompletionHandler:^(NSError* _Nullable failure) {
    (*once)(optionalCaptureErrorFrom(failure));
  }];
}

}  // namespace sysaudio::screencapturekit
