#include "platform/pipewire/capture_hand_over.h"

#include <algorithm>

namespace sysaudio::pipewire {

namespace {

// The most frames handed to the output at once: the sink's scratch for one piece then stays at
// 32 KiB, and a normal server buffer (up to 8192 frames at 48 kHz) still goes in one piece.
constexpr std::size_t largestPieceFrames = 8192;
constexpr std::size_t zeroPieceFrames = 1024;
constexpr std::size_t foldPieceFrames = 1024;

}  // namespace

std::size_t ringFrames(std::int64_t rate) {
  return static_cast<std::size_t>(std::max<std::int64_t>(rate, 1) * stallBudget.count());
}

InterleavedSampleBuffer::InterleavedSampleBuffer(const float* samples, std::size_t frames,
                                                 std::size_t channels)
    : buffer_{static_cast<std::uint32_t>(channels),
              static_cast<std::uint32_t>(frames * channels * sizeof(float)), samples} {}

std::optional<CaptureError> InterleavedSampleBuffer::withAudioBufferList(
    const std::function<void(AudioBufferList)>& body) const {
  body(AudioBufferList(&buffer_, 1));
  return std::nullopt;
}

CaptureHandOver::CaptureHandOver(std::int64_t rate, std::size_t channels, Stream& stream,
                                 StreamOutput& output, SerialQueue& queue, FrameFold fold)
    : stream_(stream),
      output_(output),
      // One silence block: 50 ms at the rate.
      lossMarkFrames_(static_cast<std::size_t>(std::max<std::int64_t>(rate / 20, 1))),
      wakeFrames_(
          static_cast<std::size_t>(std::max<std::int64_t>(rate * wakeInterval.count() / 1000, 1))),
      ring_(ringFrames(rate), channels),
      fold_(fold),
      folded_(fold.fold != nullptr ? foldPieceFrames * channels : 0, 0.0f),
      zeros_(std::min(zeroPieceFrames, lossMarkFrames_) * ring_.channels(), 0.0f),
      leftovers_(queue),
      ready_(queue) {
  leftovers_.setEventHandler([this] { onLeftovers(); });
  leftovers_.resume();
  ready_.setEventHandler([this] { onReady(); });
  ready_.resume();
}

CaptureHandOver::~CaptureHandOver() {
  ready_.cancel();
  leftovers_.cancel();
}

void CaptureHandOver::take(const spa_buffer& buffer) {
  if (buffer.n_datas < 1 || buffer.datas == nullptr) {
    return;
  }
  const spa_data& data = buffer.datas[0];
  if (data.data == nullptr || data.chunk == nullptr) {
    return;
  }
  const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
  const std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
  const std::size_t inputChannels = fold_.fold != nullptr ? fold_.inputChannels : ring_.channels();
  const std::size_t frames = size / (inputChannels * sizeof(float));
  if (frames == 0) {
    return;
  }
  const auto* samples =
      reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(data.data) + offset);
  // When nothing fits, the reader is behind and already has a signal pending.
  if (write(samples, frames) == 0) {
    return;
  }
  lastBufferFrames_.store(frames, std::memory_order_relaxed);
  // A read-modify-write, so that it comes before or after the timer's own in one order: read
  // before, it sees the timer set and the timer's run sees these frames; read after, it sees the
  // timer cleared and wakes the queue.
  const bool timerSet = leftoversTimerSet_.fetch_or(0, std::memory_order_acq_rel) != 0;
  if (ring_.held() >= wakeFrames_ || !timerSet) {
    ready_.raise();
  }
}

// Folded a piece at a time through memory touched up front; the ring counts what does not fit.
std::size_t CaptureHandOver::write(const float* samples, std::size_t frames) {
  if (fold_.fold == nullptr) {
    return ring_.write(samples, frames);
  }
  std::size_t written = 0;
  for (std::size_t done = 0; done < frames;) {
    const std::size_t piece = std::min(frames - done, foldPieceFrames);
    fold_.fold(samples + done * fold_.inputChannels, piece, folded_.data());
    written += ring_.write(folded_.data(), piece);
    done += piece;
  }
  return written;
}

void CaptureHandOver::onReady() {
  deliverReady();
  if (lastBufferFrames_.load(std::memory_order_relaxed) < wakeFrames_) {
    leftoversTimerSet_.exchange(1, std::memory_order_acq_rel);
    // Once; it is set again after the next wake-up.
    leftovers_.schedule(DispatchClock::now() + leftoversDelay, std::chrono::hours(1));
  }
}

void CaptureHandOver::onLeftovers() {
  leftoversTimerSet_.exchange(0, std::memory_order_acq_rel);
  deliverReady();
}

void CaptureHandOver::deliverReady() {
  for (;;) {
    if (const std::size_t lost = ring_.takeLoss(); lost > 0) {
      markLoss(lost);
    }
    const std::span<const float> samples = ring_.readable();
    if (samples.empty()) {
      return;
    }
    const std::size_t frames = std::min(samples.size() / ring_.channels(), largestPieceFrames);
    deliver(samples.data(), frames);
    ring_.consume(frames);
  }
}

void CaptureHandOver::deliver(const float* samples, std::size_t frames) {
  const InterleavedSampleBuffer buffer(samples, frames, ring_.channels());
  output_.streamDidOutputSampleBuffer(stream_, buffer, StreamOutputType::audio);
}

void CaptureHandOver::markLoss(std::size_t frames) {
  const std::size_t pieceFrames = zeros_.size() / ring_.channels();
  for (std::size_t left = std::min(frames, lossMarkFrames_); left > 0;) {
    const std::size_t piece = std::min(left, pieceFrames);
    deliver(zeros_.data(), piece);
    left -= piece;
  }
}

}  // namespace sysaudio::pipewire
