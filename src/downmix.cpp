#include "downmix.h"

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace sysaudio {

namespace {

// The mixing loops are built twice, for the baseline and for AVX2, and the loader picks one for
// the machine. Both run the same single-precision operations in the same order, so the results
// are the same bits; the wider one just runs more frames at once.
// ThreadSanitizer's runtime is not up yet when the loader picks a version, so its builds take the
// baseline.
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define SYSAUDIO_MIXING_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define SYSAUDIO_MIXING_LOOP
#endif

// The mean of one channel is the sample itself: dividing by one is exact, and the running sum's
// start at +0.0 is what turns -0.0 into +0.0.
SYSAUDIO_MIXING_LOOP
void mixOneChannel(const float* __restrict samples, std::size_t frames, float* __restrict mono) {
  for (std::size_t j = 0; j < frames; ++j) {
    mono[j] = 0.0f + samples[j];
  }
}

SYSAUDIO_MIXING_LOOP
void mixTwoChannels(const float* __restrict samples, std::size_t frames, float* __restrict mono) {
  for (std::size_t j = 0; j < frames; ++j) {
    mono[j] = (0.0f + samples[2 * j] + samples[2 * j + 1]) / 2.0f;
  }
}

// Any other count: each frame's sum runs in channel order; the divisions, independent of one
// another, then go in one pass that the vector units take.
SYSAUDIO_MIXING_LOOP
void divideAll(float divisor, std::size_t frames, float* __restrict mono) {
  for (std::size_t j = 0; j < frames; ++j) {
    mono[j] = mono[j] / divisor;
  }
}

void mixChannels(const float* __restrict samples, std::size_t channels, std::size_t frames,
                 float* __restrict mono) {
  const float* frame = samples;
  for (std::size_t j = 0; j < frames; ++j, frame += channels) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) {
      sum += frame[c];
    }
    mono[j] = sum;
  }
  divideAll(static_cast<float>(channels), frames, mono);
}

#if defined(__x86_64__)
// Six channels (5.1): the frames' samples are regrouped by channel with shuffles, so that eight
// frames are summed, channel by channel in order, and divided at once. Frames 0-3 of each step
// sit in the low halves of the registers and frames 4-7 in the high halves; within a half, two
// frames span three registers, and each pair of shuffles below picks two channels of four
// frames.
__attribute__((target("avx"))) void mixSixChannelsWide(const float* __restrict samples,
                                                       std::size_t frames, float* __restrict mono) {
  const __m256 six = _mm256_set1_ps(6.0f);
  std::size_t j = 0;
  for (; j + 8 <= frames; j += 8) {
    const float* p = samples + j * 6;
    const __m256 a = _mm256_loadu2_m128(p + 24, p);
    const __m256 b = _mm256_loadu2_m128(p + 28, p + 4);
    const __m256 c = _mm256_loadu2_m128(p + 32, p + 8);
    const __m256 d = _mm256_loadu2_m128(p + 36, p + 12);
    const __m256 e = _mm256_loadu2_m128(p + 40, p + 16);
    const __m256 f = _mm256_loadu2_m128(p + 44, p + 20);
    __m256 sum = _mm256_setzero_ps();
    const __m256 channels01[] = {_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 2, 1, 0)),
                                 _mm256_shuffle_ps(d, e, _MM_SHUFFLE(3, 2, 1, 0))};
    const __m256 channels23[] = {_mm256_shuffle_ps(a, c, _MM_SHUFFLE(1, 0, 3, 2)),
                                 _mm256_shuffle_ps(d, f, _MM_SHUFFLE(1, 0, 3, 2))};
    const __m256 channels45[] = {_mm256_shuffle_ps(b, c, _MM_SHUFFLE(3, 2, 1, 0)),
                                 _mm256_shuffle_ps(e, f, _MM_SHUFFLE(3, 2, 1, 0))};
    for (const __m256* pair : {channels01, channels23, channels45}) {
      sum = _mm256_add_ps(sum, _mm256_shuffle_ps(pair[0], pair[1], _MM_SHUFFLE(2, 0, 2, 0)));
      sum = _mm256_add_ps(sum, _mm256_shuffle_ps(pair[0], pair[1], _MM_SHUFFLE(3, 1, 3, 1)));
    }
    _mm256_storeu_ps(mono + j, _mm256_div_ps(sum, six));
  }
  mixChannels(samples + j * 6, 6, frames - j, mono + j);
}
#endif

void mixInterleaved(const AudioBuffer& buffer, std::size_t channels, std::size_t frames,
                    float* mono) {
  switch (channels) {
    case 1:
      mixOneChannel(buffer.data, frames, mono);
      return;
    case 2:
      mixTwoChannels(buffer.data, frames, mono);
      return;
#if defined(__x86_64__)
    case 6:
      if (__builtin_cpu_supports("avx")) {
        mixSixChannelsWide(buffer.data, frames, mono);
        return;
      }
      break;
#endif
    default:
      break;
  }
  mixChannels(buffer.data, channels, frames, mono);
}

// mono[j] = d[j] + 0, which is how the first buffer meets the zeroed sum.
SYSAUDIO_MIXING_LOOP
void startWith(const float* __restrict samples, std::size_t count, float* __restrict mono) {
  for (std::size_t j = 0; j < count; ++j) {
    mono[j] = samples[j] + 0.0f;
  }
}

SYSAUDIO_MIXING_LOOP
void addInto(const float* __restrict samples, std::size_t count, float* __restrict mono) {
  for (std::size_t j = 0; j < count; ++j) {
    mono[j] = samples[j] + mono[j];
  }
}

SYSAUDIO_MIXING_LOOP
void addIntoAndScale(const float* __restrict samples, std::size_t count, float gain,
                     float* __restrict mono) {
  for (std::size_t j = 0; j < count; ++j) {
    mono[j] = gain * (samples[j] + mono[j]);
  }
}

SYSAUDIO_MIXING_LOOP
void scale(float gain, std::size_t count, float* __restrict mono) {
  for (std::size_t j = 0; j < count; ++j) {
    mono[j] = gain * mono[j];
  }
}

// The samples of buffer that take part: the first `frames`, or fewer when the buffer is shorter,
// so that it is never read past its end.
std::size_t samplesTaken(const AudioBuffer& buffer, std::size_t frames) {
  if (buffer.data == nullptr) {
    return 0;
  }
  return std::min<std::size_t>(frames, buffer.dataByteSize / sizeof(float));
}

// Sums the buffers in list order and scales by 1 / n; the last buffer's addition and the scaling
// share one pass when that buffer covers every frame.
void mixSeparate(AudioBufferList list, std::size_t frames, float* mono) {
  const float gain = 1.0f / static_cast<float>(list.size());
  // The first buffer has data and holds at least `frames` samples, since they were counted in it.
  startWith(list.front().data, frames, mono);
  for (std::size_t i = 1; i + 1 < list.size(); ++i) {
    addInto(list[i].data, samplesTaken(list[i], frames), mono);
  }
  const AudioBuffer& last = list.back();
  const std::size_t lastCount = samplesTaken(last, frames);
  if (lastCount == frames) {
    addIntoAndScale(last.data, frames, gain, mono);
    return;
  }
  addInto(last.data, lastCount, mono);
  scale(gain, frames, mono);
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

}  // namespace sysaudio
