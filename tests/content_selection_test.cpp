#include "platform/screencapturekit/content_selection.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace sysaudio::screencapturekit {
namespace {

const ShareableContent offered = {
    {{10, ""}, {20, ""}, {30, ""}},
    {{100, "Parent"}, {200, "Other"}, {100, "Parent Helper"}, {100, "Parent"}, {300, "Third"}},
};

TEST(ContentSelectionTest, FindsWhatTheFilterNamesAtItsPlaceInTheOffer) {
  struct Case {
    const char* name;
    ContentFilter filter;
    ContentSelection expected;
  };
  const std::vector<Case> cases = {
      {"first display, nothing left out", {{10, ""}, {}}, {0, {}}},
      {"a later display, by its id alone", {{30, "any name"}, {}}, {2, {}}},
      {"one application", {{10, ""}, {{200, "Other"}}}, {0, {1}}},
      {"every application of one process, in the filter's order",
       {{20, ""}, {{100, "Parent"}, {100, "Parent Helper"}}},
       {1, {0, 2}}},
      {"the same process and name twice: two different applications",
       {{10, ""}, {{100, "Parent"}, {100, "Parent"}}},
       {0, {0, 3}}},
      {"the filter's order, not the offer's",
       {{10, ""}, {{300, "Third"}, {200, "Other"}}},
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
    ShareableContent from = offered;
  };
  const std::vector<Case> cases = {
      {"unknown display",
       {{40, ""}, {}},
       "the display to capture is no longer offered for capture"},
      {"unknown process",
       {{10, ""}, {{400, "Parent"}}},
       "an application to leave out is no longer offered for capture"},
      {"known process, other name",
       {{10, ""}, {{100, "Renamed"}}},
       "an application to leave out is no longer offered for capture"},
      {"one application more than offered",
       {{10, ""}, {{200, "Other"}, {200, "Other"}}},
       "an application to leave out is no longer offered for capture"},
      {"nothing offered at all",
       {{10, ""}, {}},
       "the display to capture is no longer offered for capture",
       ShareableContent{}},
  };
  for (const Case& c : cases) {
    const auto selection = selectContent(c.from, c.filter);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(selection)) << c.name;
    EXPECT_EQ(std::get<CaptureError>(selection).localizedDescription, c.description) << c.name;
  }
}

}  // namespace
}  // namespace sysaudio::screencapturekit
