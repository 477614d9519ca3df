#include "accessibility/tab_addresses.h"

#include <gtest/gtest.h>

#include "accessibility/element_access.h"
#include "support/reader_test_desktop.h"

namespace velmuro::accessibility {
namespace {

using Addresses = std::vector<std::string>;

class TabAddressesTest : public ReaderTest {
 protected:
  void browser(std::vector<sim::NodeTemplate> windows) {
    run("com.example.browser", 500, sim::applicationNode("browser", {}, std::move(windows)));
  }
  output::JSONMessage read() { return readTabAddresses(platform, "com.example.browser"); }

  static sim::NodeTemplate field(std::string role, sim::DesktopValue value) {
    sim::NodeTemplate blueprint = node(std::move(role));
    blueprint.set("AXValue", std::move(value));
    return blueprint;
  }
  static sim::NodeTemplate webArea(std::string address,
                                   std::vector<sim::NodeTemplate> content = {}) {
    sim::NodeTemplate blueprint = node("AXWebArea");
    blueprint.set("AXURL", sim::url(std::move(address)));
    blueprint.children = std::move(content);
    return blueprint;
  }
  // A chain of groups `levels` deep below the window with a text field at its end.
  static sim::NodeTemplate chainTo(int levels, sim::NodeTemplate end) {
    for (int i = 0; i < levels; ++i) end = node("AXGroup").add(std::move(end));
    return end;
  }
};

TEST_F(TabAddressesTest, UntrustedAndNotRunningCarryNoAddresses) {
  browser({window("w", {field("AXTextField", sim::text("example.com"))})});
  EXPECT_EQ(readTabAddresses(platform, "com.example.other"), output::statusMessage("not-running"));
  world.desktop.trusted = false;
  EXPECT_EQ(read(), output::statusMessage("untrusted"));
  EXPECT_EQ(world.log.count("AXUIElementCopyAttributeValue"), 0u);
}

TEST_F(TabAddressesTest, NoWindowsGivesAnEmptyList) {
  browser({});
  output::JSONMessage result = read();
  EXPECT_EQ(result.status, "ok");
  EXPECT_EQ(result.addresses, Addresses{});
  EXPECT_EQ(output::encodeJSONLine(result), R"({"status":"ok","addresses":[]})");
}

TEST_F(TabAddressesTest, CollectsDocumentWebAreasAndFieldsInOrder) {
  sim::NodeTemplate first =
      window("first", {node("AXToolbar")
                           .add(field("AXTextField", sim::text("meet.example.com/abc")))
                           .add(field("AXComboBox", sim::text("two words")))
                           .add(field("AXTextField", sim::text("")))
                           .add(field("AXTextField", sim::text("tab\there\xC2\xA0nbsp")))
                           .add(field("AXTextField", sim::number(7)))
                           .add(field("AXSlider", sim::text("not-a-field"))),
                       webArea("https://meet.example.com/abc",
                               {field("AXTextField", sim::text("inside-the-page"))})});
  first.set("AXDocument", sim::url("https://meet.example.com/abc"));
  sim::NodeTemplate second =
      window("second", {node("AXGroup").add(webArea("https://docs.example.org/x"))});
  second.set("AXDocument", sim::text("file:///tmp/report.pdf"));
  browser({first, second});

  output::JSONMessage result = read();
  EXPECT_EQ(result.status, "ok");
  EXPECT_EQ(result.addresses, (Addresses{"https://meet.example.com/abc", "meet.example.com/abc", "",
                                         "tab\there\xC2\xA0nbsp", "https://meet.example.com/abc",
                                         "file:///tmp/report.pdf", "https://docs.example.org/x"}));
  EXPECT_FALSE(result.text || result.error || result.errorCode);
}

TEST_F(TabAddressesTest, FailedReadsSkipOnlyWhatTheyHide) {
  sim::NodeTemplate noRole = node("AXGroup").add(field("AXTextField", sim::text("below-no-role")));
  noRole.fail("AXRole", platform::kAXErrorCannotComplete);
  sim::NodeTemplate noChildren = node("AXGroup").add(field("AXTextField", sim::text("hidden")));
  noChildren.fail("AXChildren", platform::kAXErrorFailure);
  sim::NodeTemplate w = window("w", {noRole, noChildren, field("AXTextField", sim::text("last"))});
  w.fail("AXDocument", platform::kAXErrorNoValue);
  browser({w});
  EXPECT_EQ(read().addresses, (Addresses{"below-no-role", "last"}));
}

TEST_F(TabAddressesTest, UnreadableWindowListGivesNoAddresses) {
  sim::NodeTemplate app =
      sim::applicationNode("browser", {}, {window("w", {webArea("https://x/")})});
  app.fail("AXWindows", platform::kAXErrorCannotComplete);
  run("com.example.browser", 500, app);
  EXPECT_EQ(read().addresses, Addresses{});
}

TEST_F(TabAddressesTest, WalkStopsBelowLevelNineteenButTheStopStillCosts) {
  std::vector<sim::NodeTemplate> chains = {chainTo(18, field("AXTextField", sim::text("at-19"))),
                                           chainTo(19, field("AXTextField", sim::text("at-20")))};
  browser({window("w", chains)});
  EXPECT_EQ(read().addresses, Addresses{"at-19"});

  // Direct walk of the deeper chain: levels 0 to 20 are visited, level 20 without a read.
  std::int64_t budget = 3000;
  Addresses found;
  platform::AXElement app = axApplication(platform, "com.example.browser");
  platform::AXElement w = axElementList(platform.accessibility, app, kAXWindows).at(0);
  platform::AXElement deeper = axChildren(platform.accessibility, w).at(1);
  std::size_t rolesBefore = reads("AXRole");
  collectAddresses(platform.accessibility, deeper, 1, budget, found);
  EXPECT_EQ(budget, 3000 - 20);  // levels 1 to 20
  EXPECT_EQ(reads("AXRole") - rolesBefore, 19u);
  EXPECT_TRUE(found.empty());
}

TEST_F(TabAddressesTest, EachWindowHas2999VisitsAndAFreshBudget) {
  std::vector<sim::NodeTemplate> many;
  for (int i = 0; i < 3100; ++i) {
    many.push_back(field("AXTextField", sim::text("first-" + std::to_string(i))));
  }
  std::vector<sim::NodeTemplate> few;
  for (int i = 0; i < 3; ++i)
    few.push_back(field("AXTextField", sim::text("second-" + std::to_string(i))));
  browser({window("first", many), window("second", few)});

  output::JSONMessage result = read();
  ASSERT_TRUE(result.addresses);
  // The window is visit 1, so 2998 fields are examined; the other 102 visits stop at once.
  ASSERT_EQ(result.addresses->size(), 2998u + 3u);
  EXPECT_EQ(result.addresses->at(2997), "first-2997");
  EXPECT_EQ(result.addresses->at(2998), "second-0");
  EXPECT_EQ(reads("AXRole"), 2999u + 4u);
  EXPECT_EQ(reads("AXValue"), 2998u + 3u);
}

TEST_F(TabAddressesTest, VisitCostsAtMostThreeRequestsAndAWebAreaTwo) {
  browser({window("w", {webArea("https://a/", {field("AXTextField", sim::text("x"))}),
                        field("AXTextField", sim::text("y")), node("AXButton")})});
  read();
  // Application: windows. Window: document, role, children. Web area: role, URL. Field: role,
  // value, children. Button: role, children.
  EXPECT_EQ(world.log.count("AXUIElementCopyAttributeValue"), 1u + 3u + 2u + 3u + 2u);
  EXPECT_EQ(world.desktop.liveElementHandles(), 0);
}

}  // namespace
}  // namespace velmuro::accessibility
