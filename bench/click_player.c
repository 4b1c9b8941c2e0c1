// The capture benchmark's player: plays fixed material to the default output device and logs
// when each click of it was handed to the server, so that a reader of any capture can tell how
// long the click took to reach it.
//
// Material: 48 kHz stereo F32, a 440 Hz tone at 0.05 (so that every capture sees audio the whole
// time) with a full-scale click every --interval-ms, the first one --lead-ms in. Click k lasts
// 1 + (k % 8) ms: readers recover k mod 8 from the width, which ties an arrival to its click
// even when a capture lags by more than one interval.
//
// Log, one line per click, written as the click is written:
//   click K FRAME WRITE_NS OFFSET FRAMES REQUESTED NOW_NS DELAY RATE_NUM RATE_DENOM BUFFERED QUEUED
// WRITE_NS is CLOCK_MONOTONIC read in the process callback right before the click's first sample
// is stored into the dequeued buffer, at OFFSET frames into a buffer of FRAMES (REQUESTED is what
// the server asked for: the graph quantum at 48 kHz). NOW_NS .. QUEUED are pw_stream_get_time_n()
// of that moment: the graph cycle time and the stream's delay to the device, in RATE ticks, plus
// what its resampler and queue still hold. Last line: "end FRAMES_PLAYED".
//
// The stream asks for no particular latency, so the graph keeps its default quantum.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <math.h>
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define RATE 48000
#define CHANNELS 2
#define TONE_HZ 440.0
#define TONE_LEVEL 0.05f
#define CLICK_LEVEL 1.0f
#define CLICK_CODES 8

struct player {
  struct pw_main_loop* loop;
  struct pw_stream* stream;
  struct spa_hook listener;
  struct spa_source* finished_event;
  int log_fd;
  uint64_t total_frames;
  uint64_t first_click_frame;
  uint64_t click_interval_frames;
  // Touched by the data thread only, until it sets finished.
  uint64_t frame;
  atomic_bool finished;
  int exit_status;
};

static int64_t monotonic_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

// How many frames of click `index` there are; the width carries index mod CLICK_CODES.
static uint64_t click_frames(uint64_t index) {
  return (uint64_t)(RATE / 1000) * (1 + index % CLICK_CODES);
}

// Whether `frame` lies in a click, and which one; `starts` says whether it is its first frame.
static int click_at(const struct player* p, uint64_t frame, uint64_t* index, int* starts) {
  if (frame < p->first_click_frame) {
    return 0;
  }
  const uint64_t since = frame - p->first_click_frame;
  *index = since / p->click_interval_frames;
  const uint64_t into = since % p->click_interval_frames;
  *starts = into == 0;
  return into < click_frames(*index);
}

static float tone_at(uint64_t frame) {
  // The phase is taken from the frame number modulo one second, which is a whole number of
  // 440 Hz periods, so it stays exact however long the material runs.
  const double t = (double)(frame % RATE) / RATE;
  return TONE_LEVEL * (float)sin(2.0 * M_PI * TONE_HZ * t);
}

static void log_click(struct player* p, uint64_t index, uint64_t frame, int64_t write_ns,
                      uint32_t offset, uint32_t frames, uint64_t requested) {
  struct pw_time time;
  memset(&time, 0, sizeof time);
  pw_stream_get_time_n(p->stream, &time, sizeof time);
  char line[320];
  const int length = snprintf(
      line, sizeof line, "click %llu %llu %lld %u %u %llu %lld %lld %d %u %llu %llu\n",
      (unsigned long long)index, (unsigned long long)frame, (long long)write_ns, offset, frames,
      (unsigned long long)requested, (long long)time.now, (long long)time.delay, time.rate.num,
      time.rate.denom, (unsigned long long)time.buffered, (unsigned long long)time.queued);
  // Two small writes a second to a file: cheap enough for the data thread, and nothing is lost
  // when the player is killed.
  if (length > 0 && write(p->log_fd, line, (size_t)length) < 0) {
    p->exit_status = 1;
  }
}

// Runs on the data thread (PW_STREAM_FLAG_RT_PROCESS), as close to the graph cycle as it gets.
static void on_process(void* data) {
  struct player* p = data;
  if (atomic_load(&p->finished)) {
    return;
  }
  struct pw_buffer* buffer = pw_stream_dequeue_buffer(p->stream);
  if (buffer == NULL) {
    return;
  }
  struct spa_data* d = &buffer->buffer->datas[0];
  float* samples = d->data;
  if (samples == NULL) {
    pw_stream_queue_buffer(p->stream, buffer);
    return;
  }
  const uint32_t stride = sizeof(float) * CHANNELS;
  uint32_t frames = d->maxsize / stride;
  if (buffer->requested != 0 && buffer->requested < frames) {
    frames = (uint32_t)buffer->requested;
  }
  const uint64_t left = p->total_frames - p->frame;
  if (frames > left) {
    frames = (uint32_t)left;
  }
  for (uint32_t i = 0; i < frames; ++i) {
    const uint64_t frame = p->frame + i;
    uint64_t index = 0;
    int starts = 0;
    float value = tone_at(frame);
    if (click_at(p, frame, &index, &starts)) {
      if (starts) {
        const int64_t write_ns = monotonic_ns();
        samples[i * CHANNELS] = CLICK_LEVEL;
        samples[i * CHANNELS + 1] = CLICK_LEVEL;
        log_click(p, index, frame, write_ns, i, frames, buffer->requested);
        continue;
      }
      value = CLICK_LEVEL;
    }
    samples[i * CHANNELS] = value;
    samples[i * CHANNELS + 1] = value;
  }
  p->frame += frames;
  d->chunk->offset = 0;
  d->chunk->stride = (int32_t)stride;
  d->chunk->size = frames * stride;
  buffer->size = frames;
  pw_stream_queue_buffer(p->stream, buffer);
  if (p->frame >= p->total_frames) {
    atomic_store(&p->finished, true);
    pw_loop_signal_event(pw_main_loop_get_loop(p->loop), p->finished_event);
  }
}

static void on_finished(void* data, uint64_t count) {
  (void)count;
  struct player* p = data;
  // Let what is queued play out; on_drained ends the loop.
  pw_stream_flush(p->stream, true);
}

static void on_drained(void* data) {
  struct player* p = data;
  pw_main_loop_quit(p->loop);
}

static void on_state_changed(void* data, enum pw_stream_state old, enum pw_stream_state state,
                             const char* error) {
  (void)old;
  struct player* p = data;
  if (state == PW_STREAM_STATE_ERROR || (state == PW_STREAM_STATE_UNCONNECTED && error != NULL)) {
    fprintf(stderr, "click_player: stream failed: %s\n", error != NULL ? error : "unknown");
    p->exit_status = 1;
    pw_main_loop_quit(p->loop);
  }
}

static void on_signal(void* data, int signal_number) {
  (void)signal_number;
  struct player* p = data;
  p->exit_status = 1;
  pw_main_loop_quit(p->loop);
}

static const struct pw_stream_events stream_events = {
    .version = PW_VERSION_STREAM_EVENTS,
    .state_changed = on_state_changed,
    .process = on_process,
    .drained = on_drained,
};

static void usage(FILE* out) {
  fprintf(out,
          "usage: click_player --log FILE [--seconds S] [--interval-ms MS] [--lead-ms MS]\n"
          "Plays the capture benchmark's material (tone with clicks) to the default sink for S\n"
          "seconds (default 60) and logs when each click was written.\n");
}

int main(int argc, char* argv[]) {
  double seconds = 60.0;
  double interval_ms = 500.0;
  double lead_ms = 1000.0;
  const char* log_path = NULL;
  static const struct option options[] = {
      {"seconds", required_argument, NULL, 's'}, {"interval-ms", required_argument, NULL, 'i'},
      {"lead-ms", required_argument, NULL, 'l'}, {"log", required_argument, NULL, 'o'},
      {"help", no_argument, NULL, 'h'},          {NULL, 0, NULL, 0},
  };
  int option;
  while ((option = getopt_long(argc, argv, "h", options, NULL)) != -1) {
    switch (option) {
      case 's':
        seconds = atof(optarg);
        break;
      case 'i':
        interval_ms = atof(optarg);
        break;
      case 'l':
        lead_ms = atof(optarg);
        break;
      case 'o':
        log_path = optarg;
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  // The widest click must end before the next one starts.
  if (log_path == NULL || seconds <= 0 || interval_ms <= CLICK_CODES + 1 || lead_ms < 0) {
    usage(stderr);
    return 2;
  }

  struct player p;
  memset(&p, 0, sizeof p);
  p.total_frames = (uint64_t)(seconds * RATE);
  p.first_click_frame = (uint64_t)(lead_ms * RATE / 1000.0);
  p.click_interval_frames = (uint64_t)(interval_ms * RATE / 1000.0);
  atomic_init(&p.finished, false);
  p.log_fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (p.log_fd < 0) {
    fprintf(stderr, "click_player: cannot open %s: %s\n", log_path, strerror(errno));
    return 1;
  }

  pw_init(&argc, &argv);
  p.loop = pw_main_loop_new(NULL);
  struct pw_loop* loop = pw_main_loop_get_loop(p.loop);
  pw_loop_add_signal(loop, SIGINT, on_signal, &p);
  pw_loop_add_signal(loop, SIGTERM, on_signal, &p);
  p.finished_event = pw_loop_add_event(loop, on_finished, &p);

  struct pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
      PW_KEY_APP_NAME, "click_player", PW_KEY_NODE_NAME, "click_player", NULL);
  p.stream = pw_stream_new_simple(loop, "click_player", props, &stream_events, &p);
  if (p.stream == NULL) {
    fprintf(stderr, "click_player: cannot create the stream: %s\n", strerror(errno));
    return 1;
  }

  uint8_t pod_storage[1024];
  struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_storage, sizeof pod_storage);
  struct spa_audio_info_raw format;
  memset(&format, 0, sizeof format);
  format.format = SPA_AUDIO_FORMAT_F32;
  format.rate = RATE;
  format.channels = CHANNELS;
  format.position[0] = SPA_AUDIO_CHANNEL_FL;
  format.position[1] = SPA_AUDIO_CHANNEL_FR;
  const struct spa_pod* params[1] = {
      spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
  const int result = pw_stream_connect(
      p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS, params,
      1);
  if (result < 0) {
    fprintf(stderr, "click_player: cannot connect the stream: %s\n", spa_strerror(result));
    return 1;
  }

  pw_main_loop_run(p.loop);

  // Once the stream is gone the data thread no longer touches p.frame.
  pw_stream_destroy(p.stream);
  char line[64];
  const int length = snprintf(line, sizeof line, "end %llu\n", (unsigned long long)p.frame);
  if (length > 0 && write(p.log_fd, line, (size_t)length) < 0) {
    p.exit_status = 1;
  }
  close(p.log_fd);
  pw_loop_destroy_source(loop, p.finished_event);
  pw_main_loop_destroy(p.loop);
  pw_deinit();
  return p.exit_status;
}
