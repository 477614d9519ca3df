// Times whole mute runs of the shipped tool against real sound servers, PulseAudio and PipeWire,
// each started privately and headless, with a tone from a uniquely named process on a null sink.
// The sink's monitor is recorded here through libpulse: every 5 ms block carries the time it
// arrived and, from the stream's latency, the time the server mixed it. An observer on the same
// connection timestamps the server's own mute changes of the tone's stream.
//
//   real_mute_latency [runs [tool...]]   (default 20 runs per server, of the velmuro built here)
//
// Naming builds of the tool times them instead, their runs interleaved on the same servers, so
// that a before and after meet the same load.
//
// Medians over the runs of: launch to "muted"; launch to the server's mute; launch to the first
// silent block, as mixed and as it arrives on the monitor; the floor (the tool's pgrep run plus
// one connection and listing of the server's clients by an ordinary libpulse client, made alone);
// the release line to "unmuted" and to sound back; SIGKILL to the server's unmute and to sound
// back; and how long after "muted" sound still plays out on the monitor's playback clock.
#include <pulse/pulseaudio.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "figures.h"
#include "platform/linux/audio/sound_server.h"

using velmuro::testing::Environment;
using velmuro::testing::Process;
using velmuro::testing::SoundServer;
using velmuro::testing::TemporaryDirectory;
using velmuro::testing::Tone;

namespace {

using velmuro::bench::median;
using velmuro::bench::milliseconds;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 44100;
constexpr int kBlockFrames = kRate / 200;  // 5 ms
constexpr double kAmplitude = 0.5;

double maximum(const std::vector<double>& values) {
  return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

struct Block {
  Clock::time_point arrived;
  Clock::time_point mixedEnd;
  double peak;
};

struct MuteChange {
  pid_t pid;
  bool muted;
  Clock::time_point at;
};

// The monitor, recorded with timing, and the server's mute changes, observed.
class Monitor {
 public:
  Monitor() {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "velmuro-bench-monitor");
    pa_context_set_state_callback(context_, onState, this);
    pa_context_set_subscribe_callback(context_, onEvent, this);
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    pa_threaded_mainloop_start(loop_);
  }
  ~Monitor() { pa_threaded_mainloop_stop(loop_); }

  std::size_t blocks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
  }
  // The first block from index on that passes the test, waiting up to the timeout.
  template <typename Test>
  std::optional<std::pair<std::size_t, Block>> waitFor(std::size_t from, Test test,
                                                       std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = from; i < blocks_.size(); ++i) {
          if (test(blocks_[i])) return std::make_pair(i, blocks_[i]);
        }
      }
      std::this_thread::sleep_for(200us);
    }
    return std::nullopt;
  }
  // The first index of a block that arrived at or after t.
  std::size_t firstArrivedAfter(Clock::time_point t) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t i = blocks_.size();
    while (i > 0 && blocks_[i - 1].arrived >= t) --i;
    return i;
  }
  // The blocks between two indices.
  std::vector<Block> range(std::size_t from, std::size_t to) {
    std::lock_guard<std::mutex> lock(mutex_);
    return {blocks_.begin() + static_cast<long>(from),
            blocks_.begin() + static_cast<long>(std::min(to, blocks_.size()))};
  }
  // The monitor's latency as the stream reports it, median over every read so far.
  double latencyMilliseconds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return median(latencies_);
  }
  // When the server changed a stream of this process to this mute, at or after t.
  std::optional<Clock::time_point> muteChange(pid_t pid, bool muted, Clock::time_point after,
                                              std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const MuteChange& change : changes_) {
          if (change.pid == pid && change.muted == muted && change.at >= after) return change.at;
        }
      }
      std::this_thread::sleep_for(200us);
    }
    return std::nullopt;
  }

 private:
  static void onState(pa_context* context, void* self) {
    if (pa_context_get_state(context) != PA_CONTEXT_READY) return;
    auto* monitor = static_cast<Monitor*>(self);
    pa_operation_unref(
        pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
    pa_operation_unref(pa_context_get_sink_input_info_list(context, onStream, self));
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 2};
    monitor->stream_ = pa_stream_new(context, "monitor", &format, nullptr);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(5000, &format));
    pa_stream_set_read_callback(monitor->stream_, onRead, self);
    pa_stream_connect_record(
        monitor->stream_, "testsink.monitor", &attributes,
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE));
  }
  static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* self) {
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) return;
    pa_operation_unref(pa_context_get_sink_input_info(context, index, onStream, self));
  }
  static void onStream(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
    if (eol != 0 || info == nullptr) return;
    auto* monitor = static_cast<Monitor*>(self);
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    std::lock_guard<std::mutex> lock(monitor->mutex_);
    bool& known = monitor->muted_[info->index];
    if (known != (info->mute != 0) || monitor->seen_.insert(info->index).second) {
      known = info->mute != 0;
      monitor->changes_.push_back({pid ? std::atoi(pid) : 0, known, Clock::now()});
    }
  }
  static void onRead(pa_stream* stream, std::size_t, void* self) {
    auto* monitor = static_cast<Monitor*>(self);
    Clock::time_point now = Clock::now();
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &latency, &negative) != 0 || negative) latency = 0;
    {
      std::lock_guard<std::mutex> lock(monitor->mutex_);
      if (monitor->latencies_.size() < 100000)
        monitor->latencies_.push_back(static_cast<double>(latency) / 1000.0);
    }
    const void* data;
    std::size_t bytes;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
      if (data != nullptr)
        monitor->add(static_cast<const std::int16_t*>(data), bytes / 4, now, latency);
      pa_stream_drop(stream);
    }
  }
  // Cuts the fragment into 5 ms blocks; the fragment's last frame was mixed latency ago.
  void add(const std::int16_t* frames, std::size_t count, Clock::time_point now,
           pa_usec_t latency) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count; ++i) {
      peak_ = std::max(peak_, std::abs(frames[2 * i] / 32768.0));
      if (++filled_ < kBlockFrames) continue;
      auto after = std::chrono::microseconds(static_cast<long>(latency) +
                                             static_cast<long>((count - 1 - i) * 1000000 / kRate));
      blocks_.push_back({now, now - after, peak_});
      filled_ = 0;
      peak_ = 0;
    }
  }

  pa_threaded_mainloop* loop_;
  pa_context* context_;
  pa_stream* stream_ = nullptr;
  std::mutex mutex_;
  std::vector<Block> blocks_;
  int filled_ = 0;
  double peak_ = 0;
  std::vector<MuteChange> changes_;
  std::vector<double> latencies_;
  std::map<std::uint32_t, bool> muted_;
  std::set<std::uint32_t> seen_;
};

bool silent(const Block& block) { return block.peak == 0; }
bool sounding(const Block& block) { return block.peak > 0.9 * kAmplitude; }

struct Samples {
  std::vector<double> toMuted, toServerMuted, toSilentMixed, toSilentHeard, floor;
  std::vector<double> soundAfterMuted;
  std::vector<double> releaseToUnmuted, releaseToSoundMixed, releaseToSoundHeard;
  std::vector<double> killToServerUnmuted, killToSoundMixed, killToSoundHeard;
  int failures = 0;
};

void fail(Samples& samples, const char* what) {
  std::fprintf(stderr, "  run failed: %s\n", what);
  ++samples.failures;
}

// One mute released by a line on standard input.
void releasedRun(Monitor& monitor, const std::string& binary, const std::string& name, pid_t tone,
                 Samples& samples) {
  Clock::time_point launch = Clock::now();
  Process tool(binary, {name}, {});
  if (tool.readLine(5s) != R"({"status":"muted"})") return fail(samples, "no muted line");
  Clock::time_point muted = Clock::now();
  std::size_t from = monitor.firstArrivedAfter(launch);
  auto silence = monitor.waitFor(from, silent, 2s);
  auto serverMuted = monitor.muteChange(tone, true, launch, 2s);
  if (!silence || !serverMuted) return fail(samples, "no silence");
  samples.toMuted.push_back(milliseconds(muted - launch));
  samples.toServerMuted.push_back(milliseconds(*serverMuted - launch));
  samples.toSilentMixed.push_back(milliseconds(silence->second.mixedEnd - launch));
  samples.toSilentHeard.push_back(milliseconds(silence->second.arrived - launch));
  // The latest start of a block with sound on the playback clock, against the "muted" line:
  // what the server had mixed before it applied the mute still plays out after it.
  double latest = -INFINITY;
  for (const Block& block : monitor.range(from, silence->first)) {
    if (block.peak > 0) latest = std::max(latest, milliseconds(block.mixedEnd - muted) - 5);
  }
  for (const Block& block : monitor.range(silence->first, monitor.blocks())) {
    if (block.peak > 0) latest = std::max(latest, milliseconds(block.mixedEnd - muted) - 5);
  }
  samples.soundAfterMuted.push_back(latest);

  std::this_thread::sleep_for(50ms);
  Clock::time_point release = Clock::now();
  tool.write("x\n");
  if (tool.readLine(5s) != R"({"status":"unmuted"})") return fail(samples, "no unmuted line");
  Clock::time_point unmuted = Clock::now();
  auto back = monitor.waitFor(monitor.firstArrivedAfter(release), sounding, 2s);
  if (!back) return fail(samples, "no sound after the release");
  samples.releaseToUnmuted.push_back(milliseconds(unmuted - release));
  samples.releaseToSoundMixed.push_back(milliseconds(back->second.mixedEnd - release));
  samples.releaseToSoundHeard.push_back(milliseconds(back->second.arrived - release));
  tool.wait(5s);
}

// One mute ended by SIGKILL during the hold: the guardian gives the sound back.
void killedRun(Monitor& monitor, const std::string& binary, const std::string& name, pid_t tone,
               Samples& samples) {
  Clock::time_point launch = Clock::now();
  Process tool(binary, {name}, {});
  if (tool.readLine(5s) != R"({"status":"muted"})") return fail(samples, "no muted line");
  if (!monitor.waitFor(monitor.firstArrivedAfter(launch), silent, 2s)) {
    return fail(samples, "no silence");
  }
  std::this_thread::sleep_for(20ms);
  Clock::time_point kill = Clock::now();
  tool.signal(SIGKILL);
  auto back = monitor.waitFor(monitor.firstArrivedAfter(kill), sounding, 2s);
  auto unmuted = monitor.muteChange(tone, false, kill, 2s);
  if (!back || !unmuted) return fail(samples, "no sound after SIGKILL");
  samples.killToServerUnmuted.push_back(milliseconds(*unmuted - kill));
  samples.killToSoundMixed.push_back(milliseconds(back->second.mixedEnd - kill));
  samples.killToSoundHeard.push_back(milliseconds(back->second.arrived - kill));
  tool.wait(5s);
  // Let the guardian finish before the next run looks at the server.
  std::this_thread::sleep_for(50ms);
}

// The floor: what the same mute needs of the system when done alone.
double floorRun(const std::string& name) {
  Clock::time_point start = Clock::now();
  Process pgrep("/usr/bin/pgrep", {"-x", name}, {});
  pgrep.closeInput();
  while (pgrep.readLine(5s)) {
  }
  pgrep.wait(5s);
  Process client(VELMURO_FLOOR_CLIENT, {}, {});
  client.closeInput();
  client.wait(5s);
  return milliseconds(Clock::now() - start);
}

void report(const char* server, int runs, const Samples& s, double monitorLatency) {
  std::printf("\n%s, %d runs (medians; max where a bound matters)\n", server, runs);
  std::printf("  launch -> \"muted\"                          %7.2f ms\n", median(s.toMuted));
  std::printf("  launch -> server applied the mute           %7.2f ms\n", median(s.toServerMuted));
  std::printf("  launch -> first silent block, mixed         %7.2f ms\n", median(s.toSilentMixed));
  std::printf("  launch -> first silent block, on monitor    %7.2f ms\n", median(s.toSilentHeard));
  std::printf("  floor: pgrep + connect and list clients     %7.2f ms\n", median(s.floor));
  std::printf("  tool's own cost over the floor              %7.2f ms   (goal <= 2)\n",
              median(s.toMuted) - median(s.floor));
  std::printf(
      "  last sound after \"muted\", playback clock    %7.2f ms   max %.2f (monitor "
      "latency %.2f)\n",
      median(s.soundAfterMuted), maximum(s.soundAfterMuted), monitorLatency);
  std::printf("  release -> \"unmuted\"                        %7.2f ms\n",
              median(s.releaseToUnmuted));
  std::printf("  release -> sound back, mixed / on monitor   %7.2f / %.2f ms\n",
              median(s.releaseToSoundMixed), median(s.releaseToSoundHeard));
  std::printf("  SIGKILL -> server unmuted                   %7.2f ms   max %.2f\n",
              median(s.killToServerUnmuted), maximum(s.killToServerUnmuted));
  std::printf(
      "  SIGKILL -> sound back, mixed / on monitor   %7.2f / %.2f ms   max %.2f / %.2f "
      "(goal <= 50)\n",
      median(s.killToSoundMixed), median(s.killToSoundHeard), maximum(s.killToSoundMixed),
      maximum(s.killToSoundHeard));
  if (s.failures > 0) std::printf("  failed runs: %d\n", s.failures);
}

bool benchServer(const char* kind, const std::string& label, int runs,
                 const std::vector<std::string>& tools) {
  std::string error;
  std::optional<SoundServer> server = SoundServer::start(kind, &error);
  if (!server) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  for (const auto& [variable, value] : server->environment()) {
    ::setenv(variable.c_str(), value.c_str(), 1);
  }
  TemporaryDirectory directory;
  std::string name = velmuro::testing::uniqueProcessName("vbench");
  Tone tone(directory, name, 440, kAmplitude, "Bench Meeting", {});
  Monitor monitor;
  if (!monitor.waitFor(0, sounding, 10s)) {
    std::fprintf(stderr, "%s: the tone never reached the monitor\n", label.c_str());
    return false;
  }
  std::vector<Samples> samples(tools.size());
  Samples warmUp;
  for (const std::string& tool : tools) releasedRun(monitor, tool, name, tone.pid(), warmUp);
  floorRun(name);
  for (int r = 0; r < runs; ++r) {
    // Interleaved so that drift in the machine's load touches all alike.
    for (std::size_t t = 0; t < tools.size(); ++t) {
      releasedRun(monitor, tools[t], name, tone.pid(), samples[t]);
      samples[t].floor.push_back(floorRun(name));
      killedRun(monitor, tools[t], name, tone.pid(), samples[t]);
    }
  }
  bool ok = true;
  for (std::size_t t = 0; t < tools.size(); ++t) {
    std::string title = tools.size() > 1 ? label + ", " + tools[t] : label;
    report(title.c_str(), runs, samples[t], monitor.latencyMilliseconds());
    ok = ok && samples[t].failures == 0;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  std::vector<std::string> tools(argv + std::min(argc, 2), argv + argc);
  if (tools.empty()) tools.push_back(VELMURO_TOOL_BINARY);
  bool ok = benchServer("pulseaudio", "PulseAudio", runs, tools);
  ok = benchServer("pipewire", "PipeWire (pipewire-pulse, WirePlumber)", runs, tools) && ok;
  return ok ? 0 : 1;
}
