#include "discovery/audio_objects.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/sim/world.h"

namespace velmuro::discovery {
namespace {

using platform::fourCharCode;
using sim::AudioFault;

class AudioObjectsTest : public ::testing::Test {
 protected:
  AudioObjectsTest() {
    world.audio.processes = {{11, 611, "us.zoom.xos", true}, {12, 612, "com.apple.Music", false}};
  }
  void fault(AudioFault f) { world.audio.faults.push_back(std::move(f)); }

  sim::World world;
  sim::SimAudioHardware audio{world};
};

TEST_F(AudioObjectsTest, ListsProcessObjectsInTheSystemsOrderWithTwoCalls) {
  EXPECT_EQ(getProcessObjectList(audio), (std::vector<platform::AudioObjectID>{11, 12}));
  EXPECT_EQ(world.log.calls(), (std::vector<std::string>{"AudioObjectGetPropertyDataSize",
                                                         "AudioObjectGetPropertyData"}));
}

TEST_F(AudioObjectsTest, RefusedSizeOrDataQueryGivesEmptyList) {
  fault({.call = "AudioObjectGetPropertyDataSize", .status = -50});
  EXPECT_TRUE(getProcessObjectList(audio).empty());
  world.audio.faults = {{.call = "AudioObjectGetPropertyData",
                         .selector = fourCharCode("prs#"),
                         .status = static_cast<platform::OSStatus>(fourCharCode("!obj"))}};
  EXPECT_TRUE(getProcessObjectList(audio).empty());
}

TEST_F(AudioObjectsTest, SizeUnderOneEntryGivesEmptyListWithoutDataQuery) {
  for (std::uint32_t size : {0u, 1u, 2u, 3u}) {
    world.audio.faults = {{.call = "AudioObjectGetPropertyDataSize", .size = size}};
    world.log = {};
    EXPECT_TRUE(getProcessObjectList(audio).empty()) << size;
    EXPECT_EQ(world.log.count("AudioObjectGetPropertyData"), 0u);
  }
}

// 2^22 entries: as many process objects as any system can have processes.
constexpr std::uint32_t kLargestListSize = 4u << 22;

TEST_F(AudioObjectsTest, SizeBeyondAnyProcessTableGivesEmptyListWithoutDataQuery) {
  for (std::uint32_t size : {kLargestListSize + 4, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
    world.audio.faults = {{.call = "AudioObjectGetPropertyDataSize", .size = size}};
    world.log = {};
    EXPECT_TRUE(getProcessObjectList(audio).empty()) << size;
    EXPECT_EQ(world.log.count("AudioObjectGetPropertyData"), 0u) << size;
  }
  fault({.call = "AudioObjectGetPropertyDataSize", .size = kLargestListSize});
  world.audio.faults.erase(world.audio.faults.begin());
  std::vector<platform::AudioObjectID> largest = getProcessObjectList(audio);
  ASSERT_EQ(largest.size(), std::size_t{1} << 22);
  EXPECT_EQ(largest[1], 12u);
  EXPECT_EQ(largest.back(), 0u);
}

// ASan's allocator treats a failed allocation as fatal by design, and only Linux enforces an
// address-space limit, so this runs in the plain Linux build.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
TEST_F(AudioObjectsTest, ListThatCannotBeAllocatedGivesEmptyList) {
  fault({.call = "AudioObjectGetPropertyDataSize", .size = kLargestListSize});
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Leave the child 4 MiB more address space than it has: too little for the 16 MiB list.
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                   (rlim_t{4} << 20);
    rlimit bound{limit, limit};
    if (::setrlimit(RLIMIT_AS, &bound) != 0) ::_exit(2);
    ::_exit(getProcessObjectList(audio).empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

TEST_F(AudioObjectsTest, SizeWithRemainderPassesOnlyWholeEntriesToTheDataQuery) {
  fault({.call = "AudioObjectGetPropertyDataSize", .size = 7});
  EXPECT_EQ(getProcessObjectList(audio), (std::vector<platform::AudioObjectID>{11}));
  sim::json::Value dataQuery(world.log.callsNamed("AudioObjectGetPropertyData").at(0).arguments);
  EXPECT_EQ(dataQuery.find("size")->asNumber(), 4);
}

TEST_F(AudioObjectsTest, ShortWriteKeepsThePromisedLengthWithZeros) {
  world.audio.processes.push_back({13, 613, std::nullopt, false});
  fault({.call = "AudioObjectGetPropertyData",
         .selector = fourCharCode("prs#"),
         .entriesWritten = 1});
  EXPECT_EQ(getProcessObjectList(audio), (std::vector<platform::AudioObjectID>{11, 0, 0}));
}

TEST_F(AudioObjectsTest, PropertyReadsOfAVanishedObjectFail) {
  for (platform::AudioObjectID object : {0u, 99u}) {
    EXPECT_EQ(processPID(audio, object), std::nullopt);
    EXPECT_EQ(processBundleID(audio, object), std::nullopt);
    EXPECT_FALSE(processIsRunningOutput(audio, object));
  }
}

TEST_F(AudioObjectsTest, ReadsPIDBundleIdentifierAndOutputFlag) {
  world.audio.processes.push_back({13, 0, std::nullopt, false});
  world.audio.processes.push_back({14, -3, "", false});
  EXPECT_EQ(processPID(audio, 11), 611);
  EXPECT_EQ(processPID(audio, 13), 0);  // returned unvetted
  EXPECT_EQ(processPID(audio, 14), -3);
  EXPECT_EQ(processBundleID(audio, 11), "us.zoom.xos");
  EXPECT_EQ(processBundleID(audio, 13), "");  // no string at all: empty, not absent
  EXPECT_EQ(processBundleID(audio, 14), "");
  EXPECT_TRUE(processIsRunningOutput(audio, 11));
  EXPECT_FALSE(processIsRunningOutput(audio, 12));
}

TEST_F(AudioObjectsTest, BundleIdentifierWithInvalidBytesIsMadeValid) {
  world.audio.processes.push_back({13, 613, "com.x\xFF.app", false});
  EXPECT_EQ(processBundleID(audio, 13), "com.x\xEF\xBF\xBD.app");
}

TEST_F(AudioObjectsTest, PIDTranslationUsesOneCallWhenItSucceeds) {
  EXPECT_EQ(resolveAudioObjectID(audio, 612), 12u);
  EXPECT_EQ(world.log.calls().size(), 1u);
}

TEST_F(AudioObjectsTest, FailedOrEmptyTranslationFallsBackToTheFirstMatchingObject) {
  world.audio.processes.push_back({13, 612, std::nullopt, false});
  fault({.call = "AudioObjectGetPropertyData", .selector = fourCharCode("id2p"), .status = -1});
  EXPECT_EQ(resolveAudioObjectID(audio, 612), 12u);
  // A PID read that fails is passed over.
  fault({.call = "AudioObjectGetPropertyData",
         .selector = fourCharCode("ppid"),
         .object = 12,
         .status = -1});
  EXPECT_EQ(resolveAudioObjectID(audio, 612), 13u);
  EXPECT_EQ(resolveAudioObjectID(audio, 777), std::nullopt);
}

TEST_F(AudioObjectsTest, NoTranslationAndNoListGivesAbsent) {
  fault({.call = "AudioObjectGetPropertyData", .selector = fourCharCode("id2p"), .status = -1});
  fault({.call = "AudioObjectGetPropertyDataSize", .status = -1});
  EXPECT_EQ(resolveAudioObjectID(audio, 611), std::nullopt);
}

}  // namespace
}  // namespace velmuro::discovery
