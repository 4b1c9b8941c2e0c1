#include "platform/screencapturekit/content_selection.h"

#include <optional>

namespace sysaudio::screencapturekit {

namespace {

CaptureError notOffered(const char* what) {
  return CaptureError{"sysaudio", 0, std::string(what) + " is no longer offered for capture"};
}

std::optional<std::size_t> placeOfDisplay(const std::vector<Display>& displays,
                                          const Display& wanted) {
  for (std::size_t i = 0; i < displays.size(); ++i) {
    if (displays[i].displayID == wanted.displayID) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> placeOfApplication(const std::vector<RunningApplication>& applications,
                                              const std::vector<bool>& taken,
                                              const RunningApplication& wanted) {
  for (std::size_t i = 0; i < applications.size(); ++i) {
    if (!taken[i] && applications[i].processID == wanted.processID &&
        applications[i].applicationName == wanted.applicationName) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace

std::variant<ContentSelection, CaptureError> selectContent(const ShareableContent& offered,
                                                           const ContentFilter& filter) {
  const std::optional<std::size_t> display = placeOfDisplay(offered.displays, filter.display);
  if (!display) {
    return notOffered("the display to capture");
  }
  ContentSelection selection{*display, {}};
  std::vector<bool> taken(offered.applications.size(), false);
  for (const RunningApplication& excluded : filter.excludedApplications) {
    const std::optional<std::size_t> place =
        placeOfApplication(offered.applications, taken, excluded);
    if (!place) {
      return notOffered("an application to leave out");
    }
    taken[*place] = true;
    selection.excludedApplications.push_back(*place);
  }
  return selection;
}

}  // namespace sysaudio::screencapturekit
