#include "platform/screencapturekit/content_selection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace sysaudio::screencapturekit {
namespace {

const ShareableContent offered = {
    {{10, ""}, {20, ""}, {30, ""}},
    {{100, "Parent"}, {200, "Other"}, {100, "Parent Helper"}, {100, "Parent"}, {300, "Third"}},
};

// Built one member at a time: g++ 12 at -O3 takes the strings of a braced filter inside a braced
// table of cases for uninitialised.
ContentFilter filterOf(std::uint32_t displayID, std::vector<RunningApplication> excluded,
                       std::string displayName = "") {
  ContentFilter filter;
  filter.display.displayID = displayID;
  filter.display.name = std::move(displayName);
  filter.excludedApplications = std::move(excluded);
  return filter;
}

TEST(ContentSelectionTest, FindsWhatTheFilterNamesAtItsPlaceInTheOffer) {
  struct Case {
    const char* name;
    ContentFilter filter;
    ContentSelection expected;
  };
  const std::vector<Case> cases = {
      {"first display, nothing left out", filterOf(10, {}), {0, {}}},
      {"a later display, by its id alone", filterOf(30, {}, "any name"), {2, {}}},
      {"one application", filterOf(10, {{200, "Other"}}), {0, {1}}},
      {"every application of one process, in the filter's order",
       filterOf(20, {{100, "Parent"}, {100, "Parent Helper"}}),
       {1, {0, 2}}},
      {"the same process and name twice: two different applications",
       filterOf(10, {{100, "Parent"}, {100, "Parent"}}),
       {0, {0, 3}}},
      {"the filter's order, not the offer's",
       filterOf(10, {{300, "Third"}, {200, "Other"}}),
       {0, {4, 1}}},
  };
  for (const Case& c : cases) {
    const auto selection = selectContent(offered, c.filter);
    ASSERT_TRUE(std::holds_alternative<ContentSelection>(selection)) << c.name;
    EXPECT_EQ(std::get<ContentSelection>(selection).display, c.expected.display) << c.name;
    EXPECT_EQ(std::get<ContentSelection>(selection).excludedApplications,
              c.expected.excludedApplications)
        << c.name;
  }
}

// Capturing with less left out than asked would put the parent's own audio into the stream.
TEST(ContentSelectionTest, NamingWhatWasNotOfferedIsAnError) {
  struct Case {
    const char* name;
    ContentFilter filter;
    std::string description;
    const ShareableContent* from = &offered;
  };
  const ShareableContent nothingOffered;
  const std::vector<Case> cases = {
      {"unknown display", filterOf(40, {}),
       "the display to capture is no longer offered for capture"},
      {"unknown process", filterOf(10, {{400, "Parent"}}),
       "an application to leave out is no longer offered for capture"},
      {"known process, other name", filterOf(10, {{100, "Renamed"}}),
       "an application to leave out is no longer offered for capture"},
      {"one application more than offered", filterOf(10, {{200, "Other"}, {200, "Other"}}),
       "an application to leave out is no longer offered for capture"},
      {"nothing offered at all", filterOf(10, {}),
       "the display to capture is no longer offered for capture", &nothingOffered},
  };
  for (const Case& c : cases) {
    const auto selection = selectContent(*c.from, c.filter);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(selection)) << c.name;
    EXPECT_EQ(std::get<CaptureError>(selection).localizedDescription, c.description) << c.name;
  }
}

}  // namespace
}  // namespace sysaudio::screencapturekit
