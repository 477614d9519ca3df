// How the simulated desktop's own work grows with the size of a world: loading world files of
// many process objects and many nodes, a timeline of many effects falling due, and the per-call
// lookups a mute makes over every process object. Each case runs at 10 k to 80 k and reports the
// fitted growth (BigO); every one should be linear.
//
//   velmuro_bench --benchmark_filter=Scale
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_hardware.h"
#include "platform/sim/audio_model.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/world.h"

namespace {

using namespace velmuro;

std::string processWorld(std::int64_t n) {
  std::string text = R"({"audio": {"processes": [)";
  for (std::int64_t i = 0; i < n; ++i) {
    if (i > 0) text += ",\n";
    text += R"({"id": )" + std::to_string(100 + i) + R"(, "pid": )" + std::to_string(10000 + i) +
            R"(, "bundleId": "com.example.app)" + std::to_string(i) + R"(", "output": )" +
            (i % 2 == 0 ? "true" : "false") + "}";
  }
  return text + "]}}";
}

// One application whose window holds n nodes "n0".."n<n-1>", and a timeline made by `effect`.
template <typename Effect>
std::string nodeWorld(std::int64_t n, Effect effect) {
  std::string text = R"({"accessibility": {"trusted": true}, "applications": [{"bundleId": )"
                     R"("com.example.big", "pid": 42, "windows": [{"id": "w", "children": [)";
  for (std::int64_t i = 0; i < n; ++i) {
    if (i > 0) text += ",\n";
    text += R"({"id": "n)" + std::to_string(i) + R"(", "role": "AXGroup"})";
  }
  text += R"(]}]}], "timeline": [)";
  for (std::int64_t i = 0; i < n; ++i) {
    std::string line = effect(i);
    if (line.empty()) continue;
    if (text.back() != '[') text += ",\n";
    text += line;
  }
  return text + "]}";
}

std::unique_ptr<sim::World> load(benchmark::State& state, const std::string& text) {
  std::string error;
  std::unique_ptr<sim::World> world = sim::loadWorld(text, &error);
  if (!world) state.SkipWithError(error.c_str());
  return world;
}

// A world file of n process objects read into a world.
void BM_ScaleLoadProcesses(benchmark::State& state) {
  std::string text = processWorld(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(load(state, text));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ScaleLoadProcesses)
    ->RangeMultiplier(2)
    ->Range(10'000, 80'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// A world file of one window with n nodes read into a world.
void BM_ScaleLoadNodes(benchmark::State& state) {
  std::string text = nodeWorld(state.range(0), [](std::int64_t) { return std::string(); });
  for (auto _ : state) benchmark::DoNotOptimize(load(state, text));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ScaleLoadNodes)
    ->RangeMultiplier(2)
    ->Range(10'000, 80'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// The desktop applying a timeline of n effects once the clock has passed them all.
template <typename Effect>
void runTimeline(benchmark::State& state, Effect effect) {
  std::string text = nodeWorld(state.range(0), effect);
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<sim::World> world = load(state, text);
    if (!world) return;
    sim::SimAccessibility ax(*world);
    world->clock.advance(std::chrono::hours(1));
    state.ResumeTiming();
    benchmark::DoNotOptimize(ax.isProcessTrusted());
    state.PauseTiming();
    world.reset();
    state.ResumeTiming();
  }
  state.SetComplexityN(state.range(0));
}

// n effects that each set a value on a node of their own, one millisecond apart.
void BM_ScaleTimelineSets(benchmark::State& state) {
  runTimeline(state, [](std::int64_t i) {
    return R"({"atMs": )" + std::to_string(i) + R"(, "set": "n)" + std::to_string(i) +
           R"(", "attribute": "AXValue", "value": )" + std::to_string(i) + "}";
  });
}
BENCHMARK(BM_ScaleTimelineSets)
    ->RangeMultiplier(2)
    ->Range(10'000, 80'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// n effects that remove the window's nodes one by one, first to last.
void BM_ScaleTimelineRemovals(benchmark::State& state) {
  runTimeline(state, [](std::int64_t i) {
    return R"({"atMs": )" + std::to_string(i) + R"(, "remove": "n)" + std::to_string(i) + "\"}";
  });
}
BENCHMARK(BM_ScaleTimelineRemovals)
    ->RangeMultiplier(2)
    ->Range(10'000, 80'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// The reads a mute makes of every process object: its PID, then whether it plays audio.
void BM_ScaleProcessReads(benchmark::State& state) {
  std::unique_ptr<sim::World> world = load(state, processWorld(state.range(0)));
  if (!world) return;
  sim::SimAudioHardware audio(*world);
  for (auto _ : state) {
    state.PauseTiming();
    world->log = sim::CallLog();
    state.ResumeTiming();
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      auto id = static_cast<platform::AudioObjectID>(100 + i);
      std::int32_t value = 0;
      std::uint32_t size = 4;
      audio.getPropertyData(id, {platform::kAudioProcessPropertyPID, 0, 0}, 0, nullptr, size,
                            &value);
      size = 4;
      audio.getPropertyData(id, {platform::kAudioProcessPropertyIsRunningOutput, 0, 0}, 0, nullptr,
                            size, &value);
      benchmark::DoNotOptimize(value);
    }
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ScaleProcessReads)
    ->RangeMultiplier(2)
    ->Range(10'000, 80'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace
