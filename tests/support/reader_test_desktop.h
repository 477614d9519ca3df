#pragma once

// What the readers' tests share: a simulated desktop with its services and ways to read the
// call log. Included by tests only.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/desktop_model.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/world.h"

namespace velmuro::accessibility {

using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

class ReaderTest : public ::testing::Test {
 protected:
  ReaderTest() { world.desktop.trusted = true; }

  // Adds a running application whose tree is root.
  void run(const std::string& bundleId, pid_t pid, sim::NodeTemplate root,
           sim::Micros latency = sim::Micros{0}) {
    world.desktop.addApplication({bundleId, pid, latency, false, std::move(root)});
  }

  // The elements pressed, in order.
  std::vector<std::string> pressed() const {
    std::vector<std::string> names;
    for (const auto& entry : world.log.callsNamed("AXUIElementPerformAction")) {
      names.push_back(sim::json::Value(entry.arguments).find("element")->asString());
    }
    return names;
  }

  // The attribute reads made of this attribute.
  std::size_t reads(const std::string& attribute) const {
    std::size_t n = 0;
    for (const auto& entry : world.log.callsNamed("AXUIElementCopyAttributeValue")) {
      n += sim::json::Value(entry.arguments).find("attribute")->asString() == attribute ? 1 : 0;
    }
    return n;
  }

  // The names of the calls made, with the sleeps, reduced to the ones a test looks at.
  std::vector<std::string> pressesAndSleeps() const {
    std::vector<std::string> steps;
    for (const auto& entry : world.log.entries()) {
      if (entry.call == "usleep") steps.push_back("sleep");
      if (entry.call == "AXUIElementPerformAction") {
        steps.push_back("press " + sim::json::Value(entry.arguments).find("element")->asString());
      }
    }
    return steps;
  }

  // Virtual time since the desktop started.
  std::chrono::milliseconds elapsed() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(world.clock.now() - start);
  }

  sim::World world;
  sim::SimPlatform services{world};
  platform::Platform platform = services.platform();
  platform::WallTime start = world.clock.now();
};

// A window with these children.
inline sim::NodeTemplate window(std::string id, std::vector<sim::NodeTemplate> children) {
  sim::NodeTemplate node(std::move(id));
  node.role("AXWindow");
  node.children = std::move(children);
  return node;
}

// A node with a role and an optional id.
inline sim::NodeTemplate node(std::string role, std::string id = "") {
  sim::NodeTemplate blueprint(std::move(id));
  blueprint.role(std::move(role));
  return blueprint;
}

}  // namespace velmuro::accessibility
