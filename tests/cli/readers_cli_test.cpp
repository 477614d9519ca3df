// The three reader commands end to end: the built binary on world files.
#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "platform/sim/json.h"

namespace velmuro::testing {
namespace {

// Runs one reader command and checks that it printed exactly this one line and exited 0.
CliRun expectLine(const std::vector<std::string>& args, const std::string& world,
                  const std::string& line) {
  CliRun run = runVelmuro(args, world);
  EXPECT_EQ(run.out, line + "\n") << args[0] << " on " << world;
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(run.err.empty()) << run.err;
  return run;
}

// The elements pressed during the run, in order.
std::vector<std::string> pressed(const CliRun& run) {
  std::vector<std::string> names;
  for (const sim::json::Value& call : tracedCalls(run, "AXUIElementPerformAction")) {
    names.push_back(call.find("args")->find("element")->asString());
  }
  return names;
}

sim::json::Value desktopState(const CliRun& run) {
  sim::json::Value state = finalState(run);
  const sim::json::Value* desktop = state.find("desktop");
  return desktop ? *desktop : sim::json::Value();
}

constexpr const char* kTrustedNothingRuns = R"({"accessibility": {"trusted": true}})";

TEST(ReadersCliTest, TabAddressesOfTheBrowserWorld) {
  std::string world = worldFile("browser.json");
  CliRun run =
      expectLine({"ax-tab-addresses", "com.example.browser", "ignored"}, world,
                 R"({"status":"ok","addresses":["https:\/\/meet.example.com\/abc-defg-hij",)"
                 R"("meet.example.com\/abc-defg-hij","https:\/\/meet.example.com\/abc-defg-hij",)"
                 R"("docs.example.org"]})");
  EXPECT_EQ(tracedCalls(run, "AXUIElementSetMessagingTimeout").size(), 1u);
  EXPECT_EQ(desktopState(run).find("liveElementHandles")->asNumber(), 0);

  expectLine({"ax-tab-addresses", "com.example.other"}, world, R"({"status":"not-running"})");
  expectLine({"ax-tab-addresses", "com.example.browser"},
             replaced(world, R"("trusted": true)", R"("trusted": false)"),
             R"({"status":"untrusted"})");
  expectLine({"ax-tab-addresses", "com.example.browser"},
             R"({"accessibility": {"trusted": true},
                 "applications": [{"bundleId": "com.example.browser", "pid": 5}]})",
             R"({"status":"ok","addresses":[]})");
}

TEST(ReadersCliTest, TabAddressesWithoutABundleIdIsAMuteTarget) {
  CliRun run = runVelmuro({"ax-tab-addresses"}, std::string(kTrustedNothingRuns));
  EXPECT_EQ(run.lines, std::vector<std::string>{
                           R"({"error":"ax-tab-addresses audio process not found. Make sure it )"
                           R"(is running and playing audio."})"});
  EXPECT_EQ(run.exitStatus, 1);
}

TEST(ReadersCliTest, TeamsMeetingWorldGivesTheJoinLinkAndPutsEverythingBack) {
  CliRun run =
      expectLine({"ax-teams-join-link", "ignored"}, worldFile("teams-meeting.json"),
                 R"({"status":"ok","text":"https:\/\/teams.microsoft.com\/l\/meetup-join\/)"
                 R"(19%3ameeting_demo%40thread.v2\/0"})");
  EXPECT_EQ(pressed(run), (std::vector<std::string>{"overflow", "meetingInfo", "closePane"}));
  sim::json::Value desktop = desktopState(run);
  EXPECT_EQ(sim::json::dump(*desktop.find("changedAttributes")),
            R"([{"node":"teams","attribute":"AXEnhancedUserInterface","value":false}])");
  EXPECT_EQ(sim::json::dump(*desktop.find("removedNodes")),
            R"(["moreMenu","infoPane","webContent"])");
}

TEST(ReadersCliTest, TeamsStatusWords) {
  const std::string demo = worldFile("teams-meeting.json");
  const std::string noMenu = replaced(demo, R"({"on": "AXPress", "nth": 1, "do": [)",
                                      R"({"on": "AXShowMenu", "nth": 1, "do": [)");
  const std::string noLink = replaced(demo, R"("domId": "meet_invite_block.action.join_link")",
                                      R"("domId": "meet_invite_block.action.other")");
  const std::string slow = replaced(demo, R"("latencyMs": 0.2)", R"("latencyMs": 500)");
  const std::pair<std::string, const char*> cases[] = {
      {replaced(demo, R"("trusted": true)", R"("trusted": false)"), R"({"status":"untrusted"})"},
      {kTrustedNothingRuns, R"({"status":"not-running"})"},
      {R"({"accessibility": {"trusted": true},
           "applications": [{"bundleId": "com.microsoft.teams2", "pid": 5,
                             "windows": [{"title": "Chat"}]}]})",
       R"({"status":"not-found"})"},
      {slow, R"({"status":"slow"})"},
      {noMenu, R"({"status":"no-menu"})"},
      {noLink, R"({"status":"no-link"})"},
  };
  for (const auto& [world, line] : cases) {
    CliRun run = expectLine({"ax-teams-join-link"}, world, line);
    if (std::string(line).find("not-running") == std::string::npos &&
        std::string(line).find("untrusted") == std::string::npos) {
      sim::json::Value desktop = desktopState(run);
      EXPECT_NE(sim::json::dump(*desktop.find("changedAttributes"))
                    .find(R"("attribute":"AXEnhancedUserInterface","value":false)"),
                std::string::npos)
          << line;
    }
  }
  // The "no-menu" run closed the menu again with a second press.
  EXPECT_EQ(pressed(runVelmuro({"ax-teams-join-link"}, noMenu)),
            (std::vector<std::string>{"overflow", "overflow"}));
}

TEST(ReadersCliTest, ZoomMeetingWorldGivesTheLinkAndRestoresThePasteboard) {
  CliRun run =
      expectLine({"ax-zoom-invite-link"}, worldFile("zoom-meeting.json"),
                 R"({"status":"ok","text":"https:\/\/us05web.zoom.us\/j\/81234567890?pwd=demo"})");
  EXPECT_EQ(pressed(run), std::vector<std::string>{"copyInviteLink"});
  EXPECT_EQ(sim::json::dump(*desktopState(run).find("pasteboard")),
            R"({"changeCount":44,"items":[[{"type":"public.utf8-plain-text","text":)"
            R"("notes from the last call"},{"type":"public.rtf","text":)"
            R"("{\\rtf1 notes from the last call}"}]]})");
}

TEST(ReadersCliTest, ZoomStatusWordsAndNeedles) {
  const std::string demo = worldFile("zoom-meeting.json");
  const std::string renamed =
      replaced(demo, R"("title": "Copy Invite Link")", R"("title": "Copy Meeting Link")");
  const std::string link =
      R"({"status":"ok","text":"https:\/\/us05web.zoom.us\/j\/81234567890?pwd=demo"})";
  expectLine({"ax-zoom-invite-link"}, replaced(demo, R"("trusted": true)", R"("trusted": false)"),
             R"({"status":"untrusted"})");
  expectLine({"ax-zoom-invite-link"}, kTrustedNothingRuns, R"({"status":"not-running"})");
  expectLine({"ax-zoom-invite-link"}, renamed, R"({"status":"not-found"})");
  expectLine({"ax-zoom-invite-link", "Meeting Link"}, renamed, R"({"status":"not-found"})");
  expectLine({"ax-zoom-invite-link", "", "invite", "meeting link"}, renamed, link);
  expectLine({"ax-zoom-invite-link"}, replaced(demo, R"("latencyMs": 0.5)", R"("latencyMs": 200)"),
             R"({"status":"slow"})");
  CliRun noText =
      expectLine({"ax-zoom-invite-link"}, replaced(demo, R"("afterMs": 250)", R"("afterMs": 2500)"),
                 R"({"status":"no-text"})");
  // Nothing came within the wait: the earlier text is back.
  EXPECT_NE(sim::json::dump(*desktopState(noText).find("pasteboard"))
                .find(R"("text":"notes from the last call")"),
            std::string::npos);
}

TEST(ReadersCliTest, ZoomPasteboardThatRefusesItsDataIsNeitherClearedNorRestored) {
  // The user's item lists its types, but none of them gives data (reads refused).
  const std::string refused =
      replaced(replaced(worldFile("zoom-meeting.json"),
                        R"({"type": "public.utf8-plain-text", "text": "notes from the last call"})",
                        R"({"type": "public.utf8-plain-text", "unreadable": true})"),
               R"({"type": "public.rtf", "text": "{\\rtf1 notes from the last call}"})",
               R"({"type": "public.rtf", "unreadable": true})");
  CliRun run =
      expectLine({"ax-zoom-invite-link"}, refused,
                 R"({"status":"ok","text":"https:\/\/us05web.zoom.us\/j\/81234567890?pwd=demo"})");
  EXPECT_TRUE(tracedCalls(run, "clearContents").empty());
  EXPECT_TRUE(tracedCalls(run, "writeObjects").empty());
  // Zoom's own write is all that happened to it.
  EXPECT_EQ(sim::json::dump(*desktopState(run).find("pasteboard")),
            R"({"changeCount":42,"items":[[{"type":"public.utf8-plain-text","text":)"
            R"("https://us05web.zoom.us/j/81234567890?pwd=demo"}]]})");

  // Nothing written within the wait: the user's item is there as before.
  CliRun noText = expectLine({"ax-zoom-invite-link"},
                             replaced(refused, R"("afterMs": 250)", R"("afterMs": 2500)"),
                             R"({"status":"no-text"})");
  EXPECT_EQ(sim::json::dump(*desktopState(noText).find("pasteboard")),
            R"({"changeCount":41,"items":[[{"type":"public.utf8-plain-text","unreadable":true},)"
            R"({"type":"public.rtf","unreadable":true}]]})");
}

}  // namespace
}  // namespace velmuro::testing
