#include "accessibility/teams_join_link.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "accessibility/element_access.h"
#include "support/reader_test_desktop.h"

namespace velmuro::accessibility {
namespace {

constexpr const char* kLink =
    "https://teams.microsoft.com/l/meetup-join/19%3ameeting_x%40thread.v2/0";

// A join-link node; without an address it carries no "AXURL".
sim::NodeTemplate joinLink(const std::string& domId, std::optional<std::string> address,
                           std::string id = "") {
  sim::NodeTemplate link = node("AXLink", std::move(id));
  link.domId(domId);
  if (address) link.set("AXURL", sim::url(*address));
  return link;
}

// The meeting-information pane: its close button removes it.
sim::NodeTemplate pane(std::vector<sim::NodeTemplate> links) {
  sim::NodeTemplate close = node("AXButton", "closePane");
  close.domId(kTeamsPaneCloseButton).onPress({sim::removeNode("pane")});
  sim::NodeTemplate group = node("AXGroup", "pane");
  group.add(close);
  for (sim::NodeTemplate& link : links) group.add(std::move(link));
  return group;
}

// The menu item that closes the menu and opens the pane after a delay.
sim::NodeTemplate meetingInfoItem(std::vector<sim::NodeTemplate> links, sim::Micros delay = 300ms) {
  sim::NodeTemplate item = node("AXMenuItem", "meetingInfo");
  item.domId(kTeamsMeetingInfoItem)
      .onPress(
          {sim::removeNode("menu"), sim::addNodes("content", {pane(std::move(links))}, delay)});
  return item;
}

// The overflow button: the first press opens the menu with the item, the second closes it.
sim::NodeTemplate overflowButton(std::optional<sim::NodeTemplate> item) {
  sim::NodeTemplate button = node("AXButton", "overflow");
  button.domId(kTeamsOverflowButton);
  if (item) {
    button.onPress({sim::addNodes("content", {node("AXMenu", "menu").add(*item)}, 200ms)}, 1)
        .onPress({sim::removeNode("menu")}, 2);
  }
  return button;
}

sim::NodeTemplate controls(sim::NodeTemplate overflow) {
  return node("AXGroup", "controls").add(node("AXButton", "mute")).add(std::move(overflow));
}

sim::NodeTemplate fullMeeting() {
  return controls(overflowButton(meetingInfoItem({joinLink(kTeamsJoinLink, kLink)})));
}

class TeamsJoinLinkTest : public ReaderTest {
 protected:
  // Teams with one meeting window whose content group holds these nodes.
  void teams(std::vector<sim::NodeTemplate> content,
             const std::function<void(sim::NodeTemplate&)>& adjust = {},
             sim::Micros latency = sim::Micros{0}) {
    sim::NodeTemplate group = node("AXGroup", "content");
    group.children = std::move(content);
    sim::NodeTemplate app = sim::applicationNode("teams", {}, {window("meeting", {group})});
    app.set("AXEnhancedUserInterface", false);
    if (adjust) adjust(app);
    run(kTeamsBundleId, 900, app, latency);
  }

  output::JSONMessage read() { return readTeamsJoinLink(platform); }

  static output::JSONMessage okWith(std::string link) {
    output::JSONMessage message = output::statusMessage("ok");
    message.text = std::move(link);
    return message;
  }

  std::optional<sim::DesktopValue> enhanced() const {
    return world.desktop.attributeOf("teams", kAXEnhancedUserInterface);
  }

  // The values the enhanced-interface attribute was set to, in order.
  std::vector<bool> enhancedSets() const {
    std::vector<bool> values;
    for (const auto& entry : world.log.callsNamed("AXUIElementSetAttributeValue")) {
      values.push_back(sim::json::Value(entry.arguments).find("value")->asBool());
    }
    return values;
  }
};

TEST_F(TeamsJoinLinkTest, UntrustedLeavesTeamsUntouched) {
  teams({fullMeeting()});
  world.desktop.trusted = false;
  EXPECT_EQ(read(), output::statusMessage("untrusted"));
  EXPECT_EQ(world.log.calls(), std::vector<std::string>{"AXIsProcessTrusted"});
}

TEST_F(TeamsJoinLinkTest, NotRunning) {
  run("com.microsoft.teams", 900, sim::applicationNode("classic", {}, {}));
  EXPECT_EQ(read(), output::statusMessage("not-running"));
}

TEST_F(TeamsJoinLinkTest, OpensTheMenuAndThePaneReadsTheLinkAndClosesThePane) {
  teams({fullMeeting()});
  EXPECT_EQ(read(), okWith(kLink));
  EXPECT_EQ(pressed(), (std::vector<std::string>{"overflow", "meetingInfo", "closePane"}));
  EXPECT_LT(world.desktop.findNode("pane"), 0);
  EXPECT_EQ(enhancedSets(), (std::vector<bool>{true, false}));
  EXPECT_EQ(world.desktop.liveElementHandles(), 0);
}

TEST_F(TeamsJoinLinkTest, NoMeetingIsNotFoundAfterTheOverallWait) {
  teams({node("AXGroup", "chat")});
  EXPECT_EQ(read(), output::statusMessage("not-found"));
  EXPECT_GE(elapsed(), 4500ms);
  EXPECT_LT(elapsed(), 4650ms);
  EXPECT_EQ(world.log.count("usleep"), 30u);
  EXPECT_TRUE(pressed().empty());
  EXPECT_EQ(enhanced(), sim::DesktopValue(false));
}

TEST_F(TeamsJoinLinkTest, LinkAlreadyShowingIsReadWithoutPressingAndThePaneStaysOpen) {
  teams({controls(overflowButton(std::nullopt)), pane({joinLink(kTeamsJoinLink, kLink)})});
  EXPECT_EQ(read(), okWith(kLink));
  EXPECT_TRUE(pressed().empty());
  EXPECT_GE(world.desktop.findNode("pane"), 0);
}

TEST_F(TeamsJoinLinkTest, SecondJoinLinkGivesTheAddressWhenTheFirstHasNone) {
  teams({controls(overflowButton(std::nullopt)),
         pane({joinLink(kTeamsJoinLink, std::nullopt),
               joinLink(kTeamsJoinLinkCompatibility, "https://teams.example/compat")})});
  EXPECT_EQ(read(), okWith("https://teams.example/compat"));
  EXPECT_TRUE(pressed().empty());
}

TEST_F(TeamsJoinLinkTest, SecondJoinLinkIsLookedAtOnceAfterThePaneOpens) {
  teams({controls(overflowButton(
      meetingInfoItem({joinLink(kTeamsJoinLink, std::nullopt),
                       joinLink(kTeamsJoinLinkCompatibility, "https://teams.example/compat")})))});
  EXPECT_EQ(read(), okWith("https://teams.example/compat"));
  EXPECT_EQ(pressed(), (std::vector<std::string>{"overflow", "meetingInfo", "closePane"}));
}

TEST_F(TeamsJoinLinkTest, JoinLinkWithoutAddressIsNotWaitedFor) {
  sim::NodeTemplate item = meetingInfoItem({joinLink(kTeamsJoinLink, std::nullopt, "link")}, 0ms);
  // The address would arrive later; the reader does not wait for it.
  item.onPress({sim::setValue("link", "AXURL", sim::url(kLink), 300ms)});
  teams({controls(overflowButton(item))});
  EXPECT_EQ(read(), output::statusMessage("no-link"));
  std::vector<std::string> steps = pressesAndSleeps();
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(steps[steps.size() - 2], "press meetingInfo");
  EXPECT_EQ(steps.back(), "press closePane");
}

TEST_F(TeamsJoinLinkTest, MenuItemThatNeverShowsUpIsNoMenuAndTheMenuIsClosedAgain) {
  teams({controls(overflowButton(std::nullopt))});
  EXPECT_EQ(read(), output::statusMessage("no-menu"));
  EXPECT_EQ(pressed(), (std::vector<std::string>{"overflow", "overflow"}));
  EXPECT_GE(elapsed(), 4500ms);
  EXPECT_LT(elapsed(), 4650ms);
}

TEST_F(TeamsJoinLinkTest, PressThatRunsPastTheDeadlineIsNoMenu) {
  sim::NodeTemplate overflow = overflowButton(meetingInfoItem({joinLink(kTeamsJoinLink, kLink)}));
  overflow.actionLatency = 800ms;
  teams({});
  world.desktop.schedule(sim::addNodes("content", {controls(overflow)}, 3900ms));
  EXPECT_EQ(read(), output::statusMessage("no-menu"));
  EXPECT_EQ(pressed(), (std::vector<std::string>{"overflow", "overflow"}));
}

TEST_F(TeamsJoinLinkTest, ButtonFoundOnlyAfterTheDeadlineIsSlowAndNothingIsPressed) {
  // 200 ms a request and a deep tree: the first search ends after the overall wait.
  sim::NodeTemplate deep =
      controls(overflowButton(meetingInfoItem({joinLink(kTeamsJoinLink, kLink)})));
  for (int i = 0; i < 8; ++i) deep = node("AXGroup").add(std::move(deep));
  teams({deep}, {}, 200ms);
  EXPECT_EQ(read(), output::statusMessage("slow"));
  EXPECT_TRUE(pressed().empty());
  EXPECT_EQ(enhanced(), sim::DesktopValue(false));
}

// Every outcome puts the enhanced interface back to false, unless it was true before.
TEST_F(TeamsJoinLinkTest, EnhancedInterfaceIsRestoredOnEveryOutcome) {
  struct Outcome {
    const char* status;
    std::vector<sim::NodeTemplate> content;
    sim::Micros latency{0};
  };
  sim::NodeTemplate deep = fullMeeting();
  for (int i = 0; i < 8; ++i) deep = node("AXGroup").add(std::move(deep));
  const Outcome outcomes[] = {
      {"not-found", {}},
      {"slow", {deep}, 200ms},
      {"ok", {controls(overflowButton(std::nullopt)), pane({joinLink(kTeamsJoinLink, kLink)})}},
      {"no-menu", {controls(overflowButton(std::nullopt))}},
      {"no-link", {controls(overflowButton(meetingInfoItem({})))}},
      {"ok", {fullMeeting()}},
  };
  enum class Before { kTrue, kFalse, kAbsent, kUnreadable };
  for (Before before : {Before::kTrue, Before::kFalse, Before::kAbsent, Before::kUnreadable}) {
    for (const Outcome& outcome : outcomes) {
      sim::World local;
      local.desktop.trusted = true;
      sim::SimPlatform localServices(local);
      sim::NodeTemplate group = node("AXGroup", "content");
      group.children = outcome.content;
      sim::NodeTemplate app = sim::applicationNode("teams", {}, {window("meeting", {group})});
      if (before == Before::kTrue) app.set(kAXEnhancedUserInterface, true);
      if (before == Before::kFalse) app.set(kAXEnhancedUserInterface, false);
      if (before == Before::kUnreadable) {
        app.set(kAXEnhancedUserInterface, true)
            .fail(kAXEnhancedUserInterface, platform::kAXErrorCannotComplete);
      }
      local.desktop.addApplication({kTeamsBundleId, 900, outcome.latency, false, app});

      std::string context = std::string(outcome.status) + " with the flag " +
                            std::to_string(static_cast<int>(before)) + " before";
      EXPECT_EQ(readTeamsJoinLink(localServices.platform()).status, outcome.status) << context;
      std::vector<bool> sets;
      for (const auto& entry : local.log.callsNamed("AXUIElementSetAttributeValue")) {
        sets.push_back(sim::json::Value(entry.arguments).find("value")->asBool());
      }
      bool wasTrue = before == Before::kTrue;
      std::vector<bool> expected = {true};
      if (!wasTrue) expected.push_back(false);
      EXPECT_EQ(sets, expected) << context;
      EXPECT_EQ(local.desktop.attributeOf("teams", kAXEnhancedUserInterface),
                sim::DesktopValue(wasTrue))
          << context;
    }
  }
}

// A share-invite dialog whose first button closes it and brings the controls back.
sim::NodeTemplate inviteDialog(int subtitleLevels, platform::AXError pressResult,
                               bool closes = true) {
  sim::NodeTemplate subtitle = node("AXStaticText");
  subtitle.domId(kTeamsInviteDialogSubtitle);
  for (int i = 1; i < subtitleLevels; ++i) subtitle = node("AXGroup").add(std::move(subtitle));
  sim::NodeTemplate closeButton = node("AXButton", "closeDialog");
  closeButton.actionResult(kAXPress, pressResult);
  if (closes) {
    closeButton.onPress({sim::removeNode("dialog"), sim::addNodes("content", {fullMeeting()})});
  }
  sim::NodeTemplate dialog = node("AXGroup", "dialog");
  dialog.subrole("AXApplicationDialog")
      .add(std::move(subtitle))
      .add(node("AXStaticText"))
      .add(std::move(closeButton))
      .add(node("AXButton", "copyButton"));
  return dialog;
}

TEST_F(TeamsJoinLinkTest, ClosedDialogRepeatsTheSearchWithoutAPause) {
  teams({inviteDialog(3, platform::kAXErrorSuccess)});
  EXPECT_EQ(read(), okWith(kLink));
  std::vector<std::string> steps = pressesAndSleeps();
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(steps[0], "press closeDialog");
  EXPECT_EQ(steps[1], "press overflow");
}

TEST_F(TeamsJoinLinkTest, FailedDialogPressPausesAsUsual) {
  teams({inviteDialog(3, platform::kAXErrorCannotComplete)});
  EXPECT_EQ(read(), output::statusMessage("not-found"));
  std::vector<std::string> steps = pressesAndSleeps();
  ASSERT_GE(steps.size(), 2u);
  EXPECT_EQ(steps[0], "press closeDialog");
  EXPECT_EQ(steps[1], "sleep");
}

TEST_F(TeamsJoinLinkTest, DialogThatStaysOpenDoesNotTurnIntoABusyLoop) {
  // A little latency keeps time moving, so even a loop without pauses would end.
  teams({inviteDialog(1, platform::kAXErrorSuccess, false)}, {}, 1ms);
  EXPECT_EQ(read(), output::statusMessage("not-found"));
  std::size_t presses = pressed().size(), sleeps = world.log.count("usleep");
  EXPECT_GT(presses, 0u);
  EXPECT_LE(presses, 2 * sleeps);
  std::vector<std::string> steps = pressesAndSleeps();
  for (std::size_t i = 2; i < steps.size(); ++i) {
    EXPECT_FALSE(steps[i] == "press closeDialog" && steps[i - 1] == steps[i] &&
                 steps[i - 2] == steps[i])
        << "three presses without a pause at " << i;
  }
}

TEST_F(TeamsJoinLinkTest, DialogIsFoundAtMostThreeLevelsAboveItsSubtitle) {
  teams({inviteDialog(3, platform::kAXErrorSuccess)});
  EXPECT_EQ(read(), okWith(kLink));
  EXPECT_EQ(pressed().front(), "closeDialog");

  sim::World deeper;
  deeper.desktop.trusted = true;
  sim::SimPlatform deeperServices(deeper);
  sim::NodeTemplate group = node("AXGroup", "content");
  group.add(inviteDialog(4, platform::kAXErrorSuccess));
  deeper.desktop.addApplication({kTeamsBundleId, 900, sim::Micros{0}, false,
                                 sim::applicationNode("teams", {}, {window("meeting", {group})})});
  EXPECT_EQ(readTeamsJoinLink(deeperServices.platform()), output::statusMessage("not-found"));
  EXPECT_EQ(deeper.log.count("AXUIElementPerformAction"), 0u);
}

TEST_F(TeamsJoinLinkTest, SearchExaminesLevelsUpToFiftyNineAndTheStopStillCosts) {
  // Windows whose target lies at level 60 and at level 59 (the window is level 0).
  auto windowWithTargetAt = [](std::string id, int level) {
    sim::NodeTemplate chain = node("AXButton", id + "Target");
    chain.domId("target");
    for (int i = 1; i < level; ++i) chain = node("AXGroup").add(std::move(chain));
    return window(std::move(id), {chain});
  };
  run("com.example.deep", 901,
      sim::applicationNode("deep", {},
                           {windowWithTargetAt("w60", 60), windowWithTargetAt("w59", 59)}));
  platform::AXElement app = axApplication(platform, "com.example.deep");
  platform::AXElement w60 = axElementList(platform.accessibility, app, kAXWindows).at(0);

  std::int64_t budget = kTeamsVisitBudget;
  std::size_t before = reads("AXDOMIdentifier");
  EXPECT_FALSE(axFind(platform.accessibility, w60, "target", 0, budget));
  EXPECT_EQ(budget, kTeamsVisitBudget - 61);          // levels 0 to 60
  EXPECT_EQ(reads("AXDOMIdentifier") - before, 60u);  // levels 0 to 59

  platform::AXElement found = axFindInWindows(platform.accessibility, app, "target");
  ASSERT_TRUE(found);
  platform.accessibility.performAction(found, kAXPress);
  EXPECT_EQ(pressed(), std::vector<std::string>{"w59Target"});
}

TEST_F(TeamsJoinLinkTest, EachWindowIsSearchedInOrderWithAFreshBudget) {
  std::vector<sim::NodeTemplate> many;
  for (int i = 0; i < 8100; ++i) many.push_back(node("AXStaticText"));
  sim::NodeTemplate late = node("AXButton", "late");
  late.domId("wanted");
  many.push_back(late);
  sim::NodeTemplate second = node("AXButton", "inSecond");
  second.domId("wanted");
  sim::NodeTemplate third = node("AXButton", "inThird");
  third.domId("wanted");
  run("com.example.app", 902,
      sim::applicationNode("app", {},
                           {window("big", many), window("w2", {second}), window("w3", {third})}));
  platform::AXElement app = axApplication(platform, "com.example.app");
  platform::AXElement found = axFindInWindows(platform.accessibility, app, "wanted");
  ASSERT_TRUE(found);
  EXPECT_EQ(axString(platform.accessibility, found, kAXRole), "AXButton");
  // 7999 visits in the big window, then the second window and its button.
  EXPECT_EQ(reads("AXDOMIdentifier"), 7999u + 2u);
  platform.accessibility.performAction(found, kAXPress);
  EXPECT_EQ(pressed(), std::vector<std::string>{"inSecond"});
}

}  // namespace
}  // namespace velmuro::accessibility
