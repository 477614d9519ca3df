#include "discovery/target_resolution.h"

#include <gtest/gtest.h>

#include "platform/sim/world.h"
#include "support/scripted_children.h"

namespace velmuro::discovery {
namespace {

using platform::AudioObjectID;
using platform::fourCharCode;
using Objects = std::vector<AudioObjectID>;

class TargetResolutionTest : public ::testing::Test {
 protected:
  TargetResolutionTest() {
    world.audio.processes = {
        {11, 611, "us.zoom.xos", false},  {12, 612, "us.zoom.xos.helper", false},
        {13, 613, "us.zoom.xosx", false}, {14, 614, "com.microsoft.teams2", false},
        {15, 615, "US.ZOOM.XOS", false},  {16, 616, "x.us.zoom.xos", false},
    };
  }
  Objects find(std::vector<std::string> targets, std::optional<pid_t> pid = std::nullopt) {
    return findAudioProcessObjects(audio, children, targets, pid);
  }

  sim::World world;
  sim::SimAudioHardware audio{world};
  testing::ScriptedChildren children;
};

TEST_F(TargetResolutionTest, DottedTargetMatchesItsBundleIdentifierAndThoseBelowIt) {
  EXPECT_EQ(find({"us.zoom.xos"}), (Objects{11, 12}));
  EXPECT_EQ(find({"com.microsoft"}), (Objects{14}));
  EXPECT_TRUE(find({"zoom"}).empty());  // no full stop: matched by process name only
}

TEST_F(TargetResolutionTest, ProcessNameMatchesThroughPgrepForEveryTarget) {
  // pgrep is given the name as a pattern that matches only itself.
  children.pgrepOutput["zoom\\.us"] = "611\n614\n";
  children.pgrepOutput["Music"] = "616\n";
  EXPECT_EQ(find({"zoom.us", "Music"}), (Objects{11, 14, 16}));
  ASSERT_EQ(children.runs.size(), 2u);
  EXPECT_EQ(children.runs[0], (std::vector<std::string>{"/usr/bin/pgrep", "-x", "--", "zoom\\.us"}));
  EXPECT_EQ(children.runs[1], (std::vector<std::string>{"/usr/bin/pgrep", "-x", "--", "Music"}));
}

TEST_F(TargetResolutionTest, ProcessesWithoutAnAudioObjectAddNothing) {
  children.pgrepOutput["helper"] = "900\n901\n";
  EXPECT_TRUE(find({"helper"}).empty());
}

TEST_F(TargetResolutionTest, ObjectMatchingTwiceIsListedOnce) {
  children.pgrepOutput["us\\.zoom\\.xos"] = "611\n";
  EXPECT_EQ(find({"us.zoom.xos", "us.zoom.xos"}), (Objects{11, 12}));
  EXPECT_EQ(children.runs.size(), 2u);  // one pgrep run per target, repeats included
}

TEST_F(TargetResolutionTest, FailedPIDReadFallsBackToTheBundleIdentifier) {
  world.audio.faults.push_back({.call = "AudioObjectGetPropertyData",
                                .selector = fourCharCode("ppid"),
                                .object = 11,
                                .status = -1});
  EXPECT_EQ(find({"us.zoom.xos"}), (Objects{11, 12}));
}

TEST_F(TargetResolutionTest, FailedBundleReadLeavesTheObjectUnmatched) {
  world.audio.faults.push_back({.call = "AudioObjectGetPropertyData",
                                .selector = fourCharCode("pbid"),
                                .object = 12,
                                .status = -1});
  EXPECT_EQ(find({"us.zoom.xos"}), (Objects{11}));
}

TEST_F(TargetResolutionTest, ObjectsPlayingAudioArePreferred) {
  world.audio.processes[1].runningOutput = true;
  EXPECT_EQ(find({"us.zoom.xos"}), (Objects{12}));
  // A failed output read counts as not playing.
  world.audio.faults.push_back({.call = "AudioObjectGetPropertyData",
                                .selector = fourCharCode("piro"),
                                .object = 12,
                                .status = -1});
  EXPECT_EQ(find({"us.zoom.xos"}), (Objects{11, 12}));
}

TEST_F(TargetResolutionTest, ExplicitPIDDecidesAloneWithoutPgrep) {
  EXPECT_EQ(find({"com.microsoft.teams2"}, 611), (Objects{11}));
  EXPECT_TRUE(children.runs.empty());
  EXPECT_TRUE(find({"us.zoom.xos"}, 4242).empty());
}

TEST_F(TargetResolutionTest, NothingNamedFindsNothing) {
  EXPECT_TRUE(find({}).empty());
  world.audio.faults.push_back({.call = "AudioObjectGetPropertyDataSize", .status = -1});
  EXPECT_TRUE(find({"us.zoom.xos"}).empty());
}

}  // namespace
}  // namespace velmuro::discovery
