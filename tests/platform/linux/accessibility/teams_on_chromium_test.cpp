// The Teams reader of the shipped tool on a real Chromium that runs as teams-for-linux and shows
// the test's own stand-in for the meeting client's web interface (pages/meeting.html). What the
// reader pressed is judged from the page's own reports to the page server.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/linux/accessibility/reader_runs.h"
#include "platform/linux/desktop/browser.h"
#include "platform/linux/desktop/page_server.h"
#include "platform/linux/desktop/private_desktop.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;
using Reports = std::vector<std::string>;

// One desktop and one browser for the whole suite; each test opens its variant in a tab of its
// own, which is then the only page the browser exposes.
class DesktopTeamsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    world_ = new World;
    world_->error = world_->start();
  }
  static void TearDownTestSuite() {
    delete world_;
    world_ = nullptr;
  }
  void SetUp() override { VELMURO_REQUIRE_SERVICE(world_->error.empty(), world_->error); }

  // Opens the meeting page's variant in a new tab and waits until it has loaded; the token its
  // reports carry.
  std::string openMeeting(const std::string& variant) {
    static int counter = 0;
    std::string token = variant + std::to_string(++counter);
    EXPECT_TRUE(world_->browser->openTab(
        world_->server->url("meeting.html", "variant=" + variant + "&token=" + token)));
    EXPECT_TRUE(world_->server->waitForReports(token, 1, 30s)) << "the page never loaded";
    return token;
  }

  ToolRun readJoinLink() {
    return runTool(world_->desktop->environment(), {"ax-teams-join-link"}, 30s);
  }

  // What the page reported pressing: the reports after "loaded", once count of them have come
  // (or, for none, after a pause long enough for a report to arrive).
  Reports pressesReported(const std::string& token, std::size_t count) {
    if (count == 0) {
      std::this_thread::sleep_for(500ms);
    } else {
      world_->server->waitForReports(token, count + 1, 5s);
    }
    Reports reports = world_->server->reports(token);
    if (!reports.empty()) reports.erase(reports.begin());
    return reports;
  }

  static std::string okLine(const std::string& link) {
    std::string escaped;
    for (char c : link) {
      if (c == '/') escaped += "\\";
      escaped.push_back(c);
    }
    return R"({"status":"ok","text":")" + escaped + "\"}";
  }

  struct World {
    std::string start() {
      std::string failure;
      desktop = PrivateDesktop::start(PrivateDesktop::Accessibility::kOn, &failure);
      if (!desktop) return failure;
      server = std::make_unique<PageServer>(std::string(VELMURO_SOURCE_DIR) +
                                            "/tests/platform/linux/accessibility/pages");
      if (server->port() == 0) return "the page server could not start";
      browser =
          Browser::start(desktop->environment(), Browser::Kind::kChromium, "teams-for-linux", true,
                         server->url("meeting.html", "variant=none&token=start"), &failure);
      if (!browser) return failure;
      if (!server->waitForReports("start", 1, 60s)) return "the browser never loaded the page";
      if (!browser->waitUntilOnBus(30s)) return "the browser never joined the accessibility bus";
      return {};
    }
    std::optional<PrivateDesktop> desktop;
    std::unique_ptr<PageServer> server;
    std::unique_ptr<Browser> browser;
    std::string error;
  };
  static World* world_;
};

DesktopTeamsTest::World* DesktopTeamsTest::world_ = nullptr;

TEST_F(DesktopTeamsTest, OpensTheMenuAndThePaneReadsTheLinkAndClosesThePane) {
  std::string token = openMeeting("ok");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines,
            std::vector<std::string>{okLine("https://teams.example/l/meetup-join/" + token)});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(pressesReported(token, 3), (Reports{"overflow", "meeting-info", "close"}));
}

TEST_F(DesktopTeamsTest, APaneAlreadyOpenGivesItsLinkWithNothingPressed) {
  std::string token = openMeeting("open");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines,
            std::vector<std::string>{okLine("https://teams.example/l/meetup-join/" + token)});
  EXPECT_EQ(pressesReported(token, 0), Reports{});
}

TEST_F(DesktopTeamsTest, WithoutMeetingControlsNothingIsFoundNorPressed) {
  std::string token = openMeeting("none");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"status":"not-found"})"});
  // The search gives up at its deadline of 4.5 seconds.
  EXPECT_GE(run.took, 4500ms);
  EXPECT_EQ(pressesReported(token, 0), Reports{});
}

TEST_F(DesktopTeamsTest, AMenuThatNeverShowsItsItemIsClosedAgain) {
  std::string token = openMeeting("no-menu");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"status":"no-menu"})"});
  EXPECT_EQ(pressesReported(token, 2), (Reports{"overflow", "overflow"}));
}

TEST_F(DesktopTeamsTest, APaneWithoutAnAddressGivesNoLinkAndIsClosed) {
  std::string token = openMeeting("no-link");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"status":"no-link"})"});
  EXPECT_EQ(pressesReported(token, 3), (Reports{"overflow", "meeting-info", "close"}));
}

TEST_F(DesktopTeamsTest, TheCompatibilityLinkServesWhenTheFirstHasNoAddress) {
  std::string token = openMeeting("compat");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines, std::vector<std::string>{
                           okLine("https://teams.example/l/meetup-join-compat/" + token)});
  EXPECT_EQ(pressesReported(token, 3), (Reports{"overflow", "meeting-info", "close"}));
}

TEST_F(DesktopTeamsTest, TheShareDialogIsDismissedFirst) {
  std::string token = openMeeting("dialog");
  ToolRun run = readJoinLink();
  EXPECT_EQ(run.lines,
            std::vector<std::string>{okLine("https://teams.example/l/meetup-join/" + token)});
  EXPECT_EQ(pressesReported(token, 4), (Reports{"dismiss", "overflow", "meeting-info", "close"}));
}

}  // namespace
}  // namespace velmuro::testing
