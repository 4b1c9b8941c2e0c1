#include "sample_output.h"

#include <cstdio>
#include <cstdlib>

#include "process_end.h"

namespace sysaudio {

void setUpSampleOutput() {
  std::setvbuf(stdout, nullptr, _IOFBF, sampleOutputBufferSize);
}

void writeSamples(std::span<const float> samples) {
  if (samples.empty()) {
    return;
  }
  if (std::fwrite(samples.data(), sizeof(float), samples.size(), stdout) != samples.size()) {
    endProcess(0);
  }
  if (std::fflush(stdout) != 0) {
    endProcess(0);
  }
}

}  // namespace sysaudio
