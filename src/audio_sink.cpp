#include "audio_sink.h"

#include <algorithm>

#include "sample_output.h"
#include "silence_filler.h"
#include "status.h"

namespace sysaudio {

namespace {

void mixInterleaved(const AudioBuffer& buffer, std::size_t channels, std::size_t frames,
                    float* mono) {
  const float divisor = static_cast<float>(channels);
  const float* frame = buffer.data;
  for (std::size_t j = 0; j < frames; ++j, frame += channels) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) {
      sum += frame[c];
    }
    mono[j] = sum / divisor;
  }
}

void mixSeparate(AudioBufferList list, std::size_t frames, float* mono) {
  std::fill_n(mono, frames, 0.0f);
  for (const AudioBuffer& buffer : list) {
    if (buffer.data == nullptr) {
      continue;
    }
    // A buffer shorter than the first adds what it holds and is never read past its end.
    const std::size_t count = std::min<std::size_t>(frames, buffer.dataByteSize / sizeof(float));
    for (std::size_t j = 0; j < count; ++j) {
      mono[j] = buffer.data[j] + mono[j];
    }
  }
  const float gain = 1.0f / static_cast<float>(list.size());
  for (std::size_t j = 0; j < frames; ++j) {
    mono[j] = gain * mono[j];
  }
}

}  // namespace

std::optional<std::size_t> downmixToMono(AudioBufferList list, std::vector<float>& mono) {
  if (list.empty() || list.front().data == nullptr) {
    return std::nullopt;
  }
  const AudioBuffer& first = list.front();
  const std::uint32_t channels = first.numberChannels > 1 ? first.numberChannels : 1;
  const std::uint32_t frames = first.dataByteSize / 4 / channels;
  if (mono.size() < frames) {
    mono.assign(frames, 0.0f);
  }
  if (list.size() == 1) {
    mixInterleaved(first, channels, frames, mono.data());
  } else {
    mixSeparate(list, frames, mono.data());
  }
  return frames;
}

AudioSink::AudioSink(const Settings& settings, Clock clock)
    : queue("murvane.sysaudio"),
      settings(settings),
      clock(std::move(clock)),
      lastWrite(this->clock()),
      silence(silenceBlockStorage(settings.silenceChunk), 0.0f) {}

AudioSink::~AudioSink() {
  // No tick may find the sink half gone, and work already queued for it runs first.
  timer.reset();
  if (!queue.isCurrent()) {
    queue.sync([] {});
  }
}

void AudioSink::streamDidOutputSampleBuffer(Stream&, const SampleBuffer& sampleBuffer,
                                            StreamOutputType type) {
  if (type != StreamOutputType::audio) {
    return;
  }
  if (!sampleBuffer.isValid()) {
    return;
  }
  // A buffer whose list cannot be had is dropped without a word, like any unusable buffer.
  (void)sampleBuffer.withAudioBufferList([this](AudioBufferList list) { mixToMono(list); });
}

void AudioSink::streamDidStopWithError(Stream&, const CaptureError& error) {
  fail("capture stopped: " + error.localizedDescription);
}

void AudioSink::mixToMono(AudioBufferList list) {
  const std::optional<std::size_t> frames = downmixToMono(list, mono);
  if (!frames) {
    return;
  }
  writeSamples({mono.data(), *frames});
  lastWrite = clock();
}

}  // namespace sysaudio
