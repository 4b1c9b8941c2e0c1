// How evenly something recurs: the spacings between the moments it happened, and their
// percentiles. A loaded machine makes the odd tick late (and the one after it early), so a
// cadence is judged by most of its spacings, never by the longest or the shortest one.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace sysaudio::testing {

// The time between each moment and the one before it, in milliseconds.
template <typename TimePoint>
std::vector<double> spacingsInMilliseconds(const std::vector<TimePoint>& moments) {
  std::vector<double> spacings;
  for (std::size_t i = 1; i < moments.size(); ++i) {
    spacings.push_back(
        std::chrono::duration<double, std::milli>(moments[i] - moments[i - 1]).count());
  }
  return spacings;
}

// Notes moment once for every whole block of blockBytes that totalBytes completes beyond the
// blocks already noted: two blocks that arrive in one read arrive together.
template <typename TimePoint>
void noteWholeBlocks(std::vector<TimePoint>& moments, std::size_t totalBytes,
                     std::size_t blockBytes, TimePoint moment) {
  while ((moments.size() + 1) * blockBytes <= totalBytes) {
    moments.push_back(moment);
  }
}

// The smallest value that at least fraction of the values do not exceed (nearest rank); 0 for
// no values.
inline double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) {
    return 0.0;
  }
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  const std::size_t index = std::clamp<std::size_t>(rank, 1, values.size()) - 1;
  std::ranges::nth_element(values, values.begin() + static_cast<std::ptrdiff_t>(index));
  return values[index];
}

// The values rounded to whole numbers, for a failure's message.
inline std::string listed(const std::vector<double>& values) {
  std::ostringstream text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    text << (i == 0 ? "" : " ") << std::lround(values[i]);
  }
  return text.str();
}

}  // namespace sysaudio::testing
