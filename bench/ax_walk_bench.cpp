// The accessibility walks on a large tree of the simulated desktop: the tab-address walk of one
// window and the Teams search over the windows, each timed per walk, with the visits made and
// the platform requests they cost.
//
//   velmuro_bench --benchmark_filter=Walk
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "accessibility/element_access.h"
#include "accessibility/tab_addresses.h"
#include "accessibility/teams_join_link.h"
#include "platform/sim/desktop_model.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/world.h"

namespace {

using namespace velmuro;

// A tree `fanOut` wide and `depth` levels deep below the given node, with a mix of groups, text
// fields (an address, a search phrase), buttons and web areas whose content is never entered.
void grow(sim::NodeTemplate& parent, int fanOut, int depth, int& counter) {
  if (depth == 0) return;
  for (int i = 0; i < fanOut; ++i) {
    int n = counter++;
    sim::NodeTemplate child;
    child.domId("node-" + std::to_string(n));
    switch (n % 8) {
      case 1:
        child.role("AXTextField")
            .set("AXValue", sim::text("host" + std::to_string(n) + ".example"));
        break;
      case 3:
        child.role("AXComboBox").set("AXValue", sim::text("a search phrase"));
        break;
      case 5:
        child.role("AXWebArea").set("AXURL", sim::url("https://example.com/" + std::to_string(n)));
        break;
      case 7:
        child.role("AXButton");
        break;
      default:
        child.role("AXGroup");
        break;
    }
    grow(child, fanOut, depth - 1, counter);
    parent.add(std::move(child));
  }
}

// One application with `windows` windows, each holding a tree of about 22,000 nodes.
struct LargeDesktop {
  explicit LargeDesktop(int windows) {
    world.desktop.trusted = true;
    std::vector<sim::NodeTemplate> list;
    for (int w = 0; w < windows; ++w) {
      sim::NodeTemplate window(std::string("w").append(std::to_string(w)));
      window.role("AXWindow");
      int counter = 0;
      grow(window, 4, 7, counter);
      nodesPerWindow = counter + 1;
      list.push_back(std::move(window));
    }
    world.desktop.addApplication(
        {"com.example.big", 42, sim::Micros{0}, false, sim::applicationNode("big", {}, list)});
    application = accessibility::axApplication(services.platform(), "com.example.big");
    windowList = accessibility::axElementList(services.platform().accessibility, application,
                                              accessibility::kAXWindows);
  }

  std::size_t requests() const { return world.log.count("AXUIElementCopyAttributeValue"); }

  sim::World world;
  sim::SimPlatform services{world};
  platform::AXElement application;
  std::vector<platform::AXElement> windowList;
  int nodesPerWindow = 0;
};

// How many attribute reads of this attribute the log holds.
std::int64_t readsOf(const sim::World& world, const std::string& attribute) {
  std::int64_t n = 0;
  for (const auto& entry : world.log.entries()) {
    const sim::json::Value* name = entry.arguments.find("attribute");
    n += name && name->isString() && name->asString() == attribute ? 1 : 0;
  }
  return n;
}

void resetLog(benchmark::State& state, sim::World& world) {
  state.PauseTiming();
  world.log = sim::CallLog();
  state.ResumeTiming();
}

// One window's tab-address walk with its budget of 3000 visits.
void BM_TabAddressWalk(benchmark::State& state) {
  LargeDesktop desktop(1);
  platform::AccessibilityApi& ax = desktop.services.platform().accessibility;
  std::int64_t visits = 0, examined = 0, requests = 0, walks = 0;
  for (auto _ : state) {
    resetLog(state, desktop.world);
    std::vector<std::string> found;
    std::int64_t budget = accessibility::kTabVisitBudget;
    accessibility::collectAddresses(ax, desktop.windowList[0], 0, budget, found);
    benchmark::DoNotOptimize(found.data());
    visits += accessibility::kTabVisitBudget - budget;
    examined += readsOf(desktop.world, "AXRole");
    requests += static_cast<std::int64_t>(desktop.requests());
    ++walks;
  }
  state.counters["nodes/window"] = desktop.nodesPerWindow;
  state.counters["visits/s"] =
      benchmark::Counter(static_cast<double>(visits), benchmark::Counter::kIsRate);
  state.counters["visits/walk"] = static_cast<double>(visits) / static_cast<double>(walks);
  state.counters["examined/walk"] = static_cast<double>(examined) / static_cast<double>(walks);
  state.counters["requests/walk"] = static_cast<double>(requests) / static_cast<double>(walks);
  state.counters["bound/walk"] = 3.0 * static_cast<double>(examined) / static_cast<double>(walks);
}
BENCHMARK(BM_TabAddressWalk)->Unit(benchmark::kMillisecond);

// The Teams search for an identifier no node has, over three windows with a fresh budget each.
void BM_TeamsSearchWalk(benchmark::State& state) {
  LargeDesktop desktop(3);
  platform::AccessibilityApi& ax = desktop.services.platform().accessibility;
  std::int64_t examined = 0, requests = 0, walks = 0;
  for (auto _ : state) {
    resetLog(state, desktop.world);
    platform::AXElement found = accessibility::axFindInWindows(ax, desktop.application, "absent");
    benchmark::DoNotOptimize(found);
    examined += readsOf(desktop.world, "AXDOMIdentifier");
    // The window-list read is one request of the search, outside the visits.
    requests += static_cast<std::int64_t>(desktop.requests()) - 1;
    ++walks;
  }
  state.counters["nodes/window"] = desktop.nodesPerWindow;
  state.counters["visits/s"] =
      benchmark::Counter(static_cast<double>(examined), benchmark::Counter::kIsRate);
  state.counters["examined/walk"] = static_cast<double>(examined) / static_cast<double>(walks);
  state.counters["requests/walk"] = static_cast<double>(requests) / static_cast<double>(walks);
  state.counters["bound/walk"] = 2.0 * static_cast<double>(examined) / static_cast<double>(walks);
}
BENCHMARK(BM_TeamsSearchWalk)->Unit(benchmark::kMillisecond);

// The whole tab reader on a browser with three such windows.
void BM_TabAddressReader(benchmark::State& state) {
  LargeDesktop desktop(3);
  platform::Platform platform = desktop.services.platform();
  std::int64_t addresses = 0, walks = 0;
  for (auto _ : state) {
    resetLog(state, desktop.world);
    output::JSONMessage result = accessibility::readTabAddresses(platform, "com.example.big");
    addresses += static_cast<std::int64_t>(result.addresses->size());
    ++walks;
  }
  state.counters["addresses/run"] = static_cast<double>(addresses) / static_cast<double>(walks);
  state.counters["requests/run"] = static_cast<double>(desktop.requests());
}
BENCHMARK(BM_TabAddressReader)->Unit(benchmark::kMillisecond);

}  // namespace
