#include "platform/screencapturekit/capture_error_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_session.h"
#include "child_process.h"

namespace sysaudio::screencapturekit {
namespace {

// What the system calls the service's stream-error domain; the seam must not depend on it.
constexpr const char* systemStreamDomain = "com.example.capture.stream-errors";

TEST(CaptureErrorFieldsTest, CopiesTheFieldsAndNamesTheServicesOwnDomainAsTheSessionKnowsIt) {
  struct Case {
    const char* name;
    const char* domain;
    std::int64_t code;
    const char* description;
    const char* serviceDomain;
    CaptureError expected;
  };
  const std::vector<Case> cases = {
      {"the service's own domain",
       systemStreamDomain,
       -3801,
       "declined",
       systemStreamDomain,
       {"SCStreamErrorDomain", -3801, "declined"}},
      {"another domain",
       "NSOSStatusErrorDomain",
       -50,
       "bad parameter",
       systemStreamDomain,
       {"NSOSStatusErrorDomain", -50, "bad parameter"}},
      {"a domain that only starts like the service's",
       "com.example.capture.stream-errors.x",
       -3801,
       "d",
       systemStreamDomain,
       {"com.example.capture.stream-errors.x", -3801, "d"}},
      {"no domain", nullptr, 7, "d", systemStreamDomain, {"", 7, "d"}},
      {"no description", "org.example", 7, nullptr, systemStreamDomain, {"org.example", 7, ""}},
      {"the service's domain unknown",
       systemStreamDomain,
       -3801,
       "d",
       nullptr,
       {systemStreamDomain, -3801, "d"}},
      {"text beyond ASCII kept as it is",
       "org.example",
       1,
       "caf\xC3\xA9 \xE2\x80\x94 x",
       systemStreamDomain,
       {"org.example", 1, "caf\xC3\xA9 \xE2\x80\x94 x"}},
  };
  for (const Case& c : cases) {
    const CaptureError error =
        captureErrorFromFields(c.domain, c.code, c.description, c.serviceDomain);
    EXPECT_EQ(error.domain, c.expected.domain) << c.name;
    EXPECT_EQ(error.code, c.expected.code) << c.name;
    EXPECT_EQ(error.localizedDescription, c.expected.localizedDescription) << c.name;
  }
}

// The whole way from the system's fields to the status line: a declined capture must reach the
// user as the permission message whatever text the system uses for its domain.
TEST(CaptureErrorFieldsTest, ADeclinedCaptureFromTheServiceEndsWithThePermissionMessage) {
  struct Case {
    const char* domain;
    std::int64_t code;
    std::string line;
  };
  const std::vector<Case> cases = {
      {systemStreamDomain, -3801,
       "error: permission denied \xE2\x80\x94 allow Murvane under Screen & System Audio "
       "Recording\n"},
      {systemStreamDomain, -3802, "error: the description\n"},
      {"SCStreamErrorDomain.elsewhere", -3801, "error: the description\n"},
  };
  for (const Case& c : cases) {
    const auto result = testing::runInChild([&] {
      failForCaptureError(
          captureErrorFromFields(c.domain, c.code, "the description", systemStreamDomain));
    });
    EXPECT_EQ(result.exitCode(), 1) << c.domain << " " << c.code;
    EXPECT_EQ(result.err, c.line) << c.domain << " " << c.code;
  }
}

}  // namespace
}  // namespace sysaudio::screencapturekit
