#include "platform/pipewire/channel_fold.h"

namespace sysaudio::pipewire {

namespace {

constexpr std::size_t at(CaptureInput input) {
  return static_cast<std::size_t>(input);
}

}  // namespace

void foldToStereo(const float* inputs, std::size_t frames, float* stereo) {
  for (std::size_t frame = 0; frame < frames; ++frame) {
    const float* in = inputs + frame * captureInputCount;
    const float shared = foldCentre * in[at(CaptureInput::centre)] +
                         foldLowFrequency * in[at(CaptureInput::lowFrequency)];
    stereo[2 * frame] = in[at(CaptureInput::frontLeft)] + shared +
                        foldSurround * in[at(CaptureInput::surroundLeft)];
    stereo[2 * frame + 1] = in[at(CaptureInput::frontRight)] + shared +
                            foldSurround * in[at(CaptureInput::surroundRight)];
  }
}

}  // namespace sysaudio::pipewire
