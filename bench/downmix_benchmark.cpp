// The downmix beside a memcpy of the same input bytes: how much more than moving its input the
// mix costs. Run with --benchmark_out=FILE --benchmark_out_format=json to keep the figures.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "audio_sink.h"

namespace sysaudio {
namespace {

// One interleaved buffer of `channels`, or `buffers` separate buffers of one channel each.
struct Input {
  Input(std::size_t frames, std::uint32_t channels, std::size_t buffers) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    const std::size_t samplesPerBuffer = buffers == 1 ? frames * channels : frames;
    storage.resize(buffers);
    for (auto& buffer : storage) {
      buffer.resize(samplesPerBuffer);
      for (float& value : buffer) {
        value = sample(random);
      }
      list.push_back({buffers == 1 ? channels : 1,
                      static_cast<std::uint32_t>(samplesPerBuffer * sizeof(float)), buffer.data()});
    }
  }
  std::size_t bytes() const { return storage.size() * storage.front().size() * sizeof(float); }

  std::vector<std::vector<float>> storage;
  std::vector<AudioBuffer> list;
};

void BM_Downmix(benchmark::State& state, std::uint32_t channels, std::size_t buffers) {
  const Input input(static_cast<std::size_t>(state.range(0)), channels, buffers);
  std::vector<float> mono;
  for (auto _ : state) {
    benchmark::DoNotOptimize(downmixToMono(input.list, mono));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.bytes()));
}

void BM_Memcpy(benchmark::State& state, std::uint32_t channels, std::size_t buffers) {
  const Input input(static_cast<std::size_t>(state.range(0)), channels, buffers);
  std::vector<char> target(input.bytes());
  for (auto _ : state) {
    char* out = target.data();
    for (const auto& buffer : input.storage) {
      std::memcpy(out, buffer.data(), buffer.size() * sizeof(float));
      out += buffer.size() * sizeof(float);
    }
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.bytes()));
}

#define SYSAUDIO_DOWNMIX_CASE(name, channels, buffers)                                    \
  BENCHMARK_CAPTURE(BM_Downmix, name, channels, buffers)->Arg(480)->Arg(1024)->Arg(4096); \
  BENCHMARK_CAPTURE(BM_Memcpy, name, channels, buffers)->Arg(480)->Arg(1024)->Arg(4096)

SYSAUDIO_DOWNMIX_CASE(interleaved_1ch, 1, 1);
SYSAUDIO_DOWNMIX_CASE(interleaved_2ch, 2, 1);
SYSAUDIO_DOWNMIX_CASE(interleaved_6ch, 6, 1);
SYSAUDIO_DOWNMIX_CASE(separate_2x1ch, 1, 2);

}  // namespace
}  // namespace sysaudio

BENCHMARK_MAIN();
