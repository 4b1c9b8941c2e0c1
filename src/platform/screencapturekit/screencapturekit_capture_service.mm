// The capture service on ScreenCaptureKit: displays and applications are the system's shareable
// content, and a stream captures a display's audio without the excluded applications'.
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include "platform/platform_capture_service.h"
#include "platform/screencapturekit/completion_once.h"
#include "platform/screencapturekit/content_selection.h"
#include "platform/screencapturekit/screencapturekit_stream.h"
#include "platform/screencapturekit/stream_settings.h"
#include "platform/screencapturekit/system_error.h"
#include "platform/screencapturekit/unavailable_stream.h"

namespace sysaudio::screencapturekit {

namespace {

CaptureError contentDropped() {
  return CaptureError{"sysaudio", 0,
                      "the capture service dropped the request for its content without an answer"};
}

std::string textOf(NSString* _Nullable text) {
  const char* utf8 = text.UTF8String;
  return utf8 != nullptr ? std::string(utf8) : std::string();
}

// What was last offered to the session: the system's objects, and the descriptions made of
// them, each at the place of its object.
struct OfferedContent {
  std::mutex mutex;
  SCShareableContent* _Nullable content = nil;
  ShareableContent described;
};

ShareableContent describe(SCShareableContent* content) {
  ShareableContent described;
  for (SCDisplay* display in content.displays) {
    // The system gives a display no name.
    described.displays.push_back({display.displayID, ""});
  }
  for (SCRunningApplication* application in content.applications) {
    described.applications.push_back({application.processID, textOf(application.applicationName)});
  }
  return described;
}

// Set in the order the session sets them; what it did not set keeps the system's default.
SCStreamConfiguration* makeConfiguration(const StreamSettings& settings) {
  SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
  if (settings.capturesAudio) {
    configuration.capturesAudio = *settings.capturesAudio;
  }
  if (settings.excludesCurrentProcessAudio) {
    configuration.excludesCurrentProcessAudio = *settings.excludesCurrentProcessAudio;
  }
  if (settings.sampleRate) {
    configuration.sampleRate = *settings.sampleRate;
  }
  if (settings.channelCount) {
    configuration.channelCount = *settings.channelCount;
  }
  if (settings.width) {
    configuration.width = *settings.width;
  }
  if (settings.height) {
    configuration.height = *settings.height;
  }
  if (settings.minimumFrameInterval) {
    configuration.minimumFrameInterval =
        CMTimeMake(settings.minimumFrameInterval->value, settings.minimumFrameInterval->timescale);
  }
  return configuration;
}

class ScreenCaptureKitCaptureService final : public CaptureService {
 public:
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    const auto once = std::make_shared<
        CompletionOnce<std::optional<ShareableContent>, std::optional<CaptureError>>>(
        std::move(completion), std::make_tuple(std::optional<ShareableContent>(),
                                               std::optional<CaptureError>(contentDropped())));
    const std::shared_ptr<OfferedContent> offered = offered_;
    const auto arrived = ^(SCShareableContent* _Nullable content, NSError* _Nullable error) {
      std::optional<ShareableContent> described;
      if (content != nil) {
        described = describe(content);
        std::lock_guard lock(offered->mutex);
        offered->content = content;
        offered->described = *described;
      }
      (*once)(std::move(described), optionalCaptureErrorFrom(error));
    };
    [SCShareableContent getShareableContentExcludingDesktopWindows:excludingDesktopWindows
                                               onScreenWindowsOnly:onScreenWindowsOnly
                                                 completionHandler:arrived];
  }

  std::unique_ptr<StreamConfiguration> makeStreamConfiguration() override {
    return std::make_unique<RecordedStreamConfiguration>();
  }

  std::unique_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override {
    SCShareableContent* content = nil;
    ShareableContent described;
    {
      std::lock_guard lock(offered_->mutex);
      content = offered_->content;
      described = offered_->described;
    }
    const auto selection = selectContent(described, filter);
    if (const CaptureError* error = std::get_if<CaptureError>(&selection)) {
      return std::make_unique<UnavailableStream>(*error);
    }
    const ContentSelection& chosen = std::get<ContentSelection>(selection);
    NSMutableArray<SCRunningApplication*>* excluded = [[NSMutableArray alloc] init];
    for (const std::size_t place : chosen.excludedApplications) {
      [excluded addObject:content.applications[place]];
    }
    SCContentFilter* contentFilter =
        [[SCContentFilter alloc] initWithDisplay:content.displays[chosen.display]
                           excludingApplications:excluded
                                exceptingWindows:@[]];

    const StreamSettings& settings =
        dynamic_cast<const RecordedStreamConfiguration&>(configuration).settings();
    std::optional<CaptureError> startRefusal;
    if (settings.sampleRate) {
      startRefusal = sampleRateRefusal(*settings.sampleRate);
    }
    return std::make_unique<ScreenCaptureKitStream>(contentFilter, makeConfiguration(settings),
                                                    std::move(startRefusal), delegate);
  }

 private:
  const std::shared_ptr<OfferedContent> offered_ = std::make_shared<OfferedContent>();
};

}  // namespace

}  // namespace sysaudio::screencapturekit

namespace sysaudio {

// The system's frameworks keep their messages in the system's own log, not on standard error.
std::unique_ptr<CaptureService> makePlatformCaptureService(const char*) {
  return std::make_unique<screencapturekit::ScreenCaptureKitCaptureService>();
}

}  // namespace sysaudio
