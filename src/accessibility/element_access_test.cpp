#include "accessibility/element_access.h"

#include <gtest/gtest.h>

#include "support/reader_test_desktop.h"

namespace velmuro::accessibility {
namespace {

using platform::AXElement;

class ElementAccessTest : public ReaderTest {
 protected:
  // An application "com.example.app" whose one window holds a node with these attributes.
  AXElement probe(sim::NodeTemplate blueprint) {
    blueprint.id = "probe";
    run("com.example.app", 100, sim::applicationNode("app", {}, {window("w", {blueprint})}));
    AXElement app = axApplication(platform, "com.example.app");
    AXElement win = axElementList(platform.accessibility, app, kAXWindows).at(0);
    return axChildren(platform.accessibility, win).at(0);
  }
};

TEST_F(ElementAccessTest, StringReadGivesTextAndURLsButNeverOtherTypes) {
  sim::NodeTemplate blueprint;
  blueprint.set("AXURL", sim::url("https://example.com/a?b=c"))
      .set("AXTitle", sim::text("Title"))
      .set("AXDescription", sim::text(""))
      .set("AXValue", sim::number(42))
      .set("AXEnabled", true)
      .set("AXTopLevelUIElement", sim::element("w"))
      .set("AXSelectedChildren", sim::elements({"w"}))
      .set("AXAttributedValue", sim::other())
      .set("AXPlaceholderValue", std::monostate{})
      .fail("AXHelp", platform::kAXErrorCannotComplete, sim::text("delivered with the error"));
  AXElement e = probe(blueprint);
  platform::AccessibilityApi& ax = platform.accessibility;

  EXPECT_EQ(axString(ax, e, "AXURL"), "https://example.com/a?b=c");
  EXPECT_EQ(axString(ax, e, "AXTitle"), "Title");
  EXPECT_EQ(axString(ax, e, "AXDescription"), "");
  for (const char* absent : {"AXValue", "AXEnabled", "AXTopLevelUIElement", "AXSelectedChildren",
                             "AXAttributedValue", "AXPlaceholderValue", "AXHelp", "AXMissing"}) {
    EXPECT_EQ(axString(ax, e, absent), std::nullopt) << absent;
  }
  // A value handed over together with an error is not used.
  EXPECT_TRUE(std::holds_alternative<std::monostate>(axValue(ax, e, "AXHelp")));
}

TEST_F(ElementAccessTest, TextsFromTheApplicationBecomeValidUTF8) {
  AXElement e = probe(sim::NodeTemplate()
                          .set("AXTitle", sim::text("caf\xC3\xA9 \xFF\xFE end"))
                          .set("AXURL", sim::url("https://example.com/\xC3")));
  EXPECT_EQ(axString(platform.accessibility, e, "AXTitle"),
            "caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD end");
  EXPECT_EQ(axString(platform.accessibility, e, "AXURL"), "https://example.com/\xEF\xBF\xBD");
}

TEST_F(ElementAccessTest, ChildrenAreEmptyWhenTheyCannotBeRead) {
  platform::AccessibilityApi& ax = platform.accessibility;
  EXPECT_TRUE(axChildren(ax, AXElement()).empty());
  EXPECT_EQ(world.log.entries().size(), 0u);

  EXPECT_TRUE(axChildren(ax, probe(sim::NodeTemplate())).empty());
  EXPECT_TRUE(axChildren(ax, probe(sim::NodeTemplate().set("AXChildren", sim::other()))).empty());
  AXElement failing = probe(sim::NodeTemplate()
                                .add(node("AXButton"))
                                .fail("AXChildren", platform::kAXErrorCannotComplete));
  EXPECT_TRUE(axChildren(ax, failing).empty());
}

TEST_F(ElementAccessTest, ChildrenComeInOrderAndKnowTheirParent) {
  AXElement e =
      probe(sim::NodeTemplate().title("probe").add(node("AXButton")).add(node("AXCheckBox")));
  platform::AccessibilityApi& ax = platform.accessibility;
  std::vector<AXElement> children = axChildren(ax, e);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(axString(ax, children[0], kAXRole), "AXButton");
  EXPECT_EQ(axString(ax, children[1], kAXRole), "AXCheckBox");
  EXPECT_EQ(axString(ax, axElementValue(ax, children[1], kAXParent), kAXTitle), "probe");
  EXPECT_FALSE(axElementValue(ax, children[1], kAXRole));
}

TEST_F(ElementAccessTest, BooleanReadCountsAnythingButTrueAsFalse) {
  AXElement e = probe(sim::NodeTemplate()
                          .set("AXOn", true)
                          .set("AXOff", false)
                          .set("AXNumberOne", sim::number(1))
                          .fail("AXBroken", platform::kAXErrorCannotComplete, true));
  platform::AccessibilityApi& ax = platform.accessibility;
  EXPECT_TRUE(axBoolean(ax, e, "AXOn"));
  EXPECT_FALSE(axBoolean(ax, e, "AXOff"));
  EXPECT_FALSE(axBoolean(ax, e, "AXNumberOne"));
  EXPECT_FALSE(axBoolean(ax, e, "AXBroken"));
  EXPECT_FALSE(axBoolean(ax, e, "AXMissing"));
}

TEST_F(ElementAccessTest, ApplicationIsTheFirstRunningInstanceWithAOneSecondTimeout) {
  run("com.example.twice", 300, sim::applicationNode("first", {}, {}));
  run("com.example.other", 200, sim::applicationNode("other", {}, {}));
  run("com.example.twice", 100, sim::applicationNode("second", {}, {}));

  AXElement app = axApplication(platform, "com.example.twice");
  ASSERT_TRUE(app);
  EXPECT_EQ(world.log.calls(),
            (std::vector<std::string>{
                "runningApplicationsWithBundleIdentifier", "AXUIElementCreateSystemWide",
                "AXUIElementSetMessagingTimeout", "AXUIElementCreateApplication"}));
  auto created = world.log.callsNamed("AXUIElementCreateApplication");
  EXPECT_EQ(created[0].result.asString(), "first");
  auto timeout =
      sim::json::Value(world.log.callsNamed("AXUIElementSetMessagingTimeout")[0].arguments);
  EXPECT_EQ(timeout.find("element")->asString(), "systemWide");
  EXPECT_EQ(timeout.find("seconds")->asNumber(), 1.0);
  // The system-wide element has been let go; the application element is still held.
  EXPECT_EQ(world.desktop.liveElementHandles(), 1);
}

TEST_F(ElementAccessTest, ApplicationNotRunningIsAbsentAndLeavesTheTimeoutAlone) {
  EXPECT_FALSE(axApplication(platform, "com.example.none"));
  EXPECT_EQ(world.log.calls(), std::vector<std::string>{"runningApplicationsWithBundleIdentifier"});
  EXPECT_FALSE(world.desktop.messagingTimeout.has_value());
}

TEST_F(ElementAccessTest, HungApplicationCostsOneSecondPerRequest) {
  world.desktop.addApplication({"com.example.hung", 100, sim::Micros{0}, true,
                                sim::applicationNode("hung", {}, {window("w", {})})});
  AXElement app = axApplication(platform, "com.example.hung");
  EXPECT_TRUE(axElementList(platform.accessibility, app, kAXWindows).empty());
  EXPECT_EQ(axString(platform.accessibility, app, kAXRole), std::nullopt);
  EXPECT_EQ(elapsed(), 2s);
}

}  // namespace
}  // namespace velmuro::accessibility
