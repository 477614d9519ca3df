#include "platform/sim/sim_desktop.h"

#include <gtest/gtest.h>

#include <chrono>

#include "platform/sim/desktop_file.h"
#include "platform/sim/desktop_model.h"
#include "platform/sim/world.h"

namespace velmuro::sim {
namespace {

using namespace std::chrono_literals;
using platform::AXElement;
using platform::AXValue;

class SimDesktopTest : public ::testing::Test {
 protected:
  // Loads a world file's desktop sections into the world.
  void load(std::string_view text) {
    std::string error;
    std::optional<json::Value> root = json::parse(text, &error);
    ASSERT_TRUE(root) << error;
    ASSERT_TRUE(loadDesktop(*root, world.desktop, &error)) << error;
  }

  AXElement app(pid_t pid) { return ax.createApplication(pid); }

  // The value of an attribute, asserting that the read succeeds.
  AXValue read(const AXElement& element, const std::string& attribute) {
    AXValue value;
    EXPECT_EQ(ax.copyAttributeValue(element, attribute, value), platform::kAXErrorSuccess)
        << attribute;
    return value;
  }
  platform::AXError status(const AXElement& element, const std::string& attribute) {
    AXValue value;
    return ax.copyAttributeValue(element, attribute, value);
  }
  std::string textOf(const AXElement& element, const std::string& attribute) {
    AXValue value = read(element, attribute);
    auto* t = std::get_if<platform::AXText>(&value);
    return t ? t->text : "<not text>";
  }
  std::vector<AXElement> list(const AXElement& element, const std::string& attribute) {
    AXValue value = read(element, attribute);
    auto* l = std::get_if<std::vector<AXElement>>(&value);
    return l ? *l : std::vector<AXElement>{};
  }
  std::chrono::microseconds elapsed() {
    return std::chrono::duration_cast<std::chrono::microseconds>(world.clock.now() - start);
  }

  World world;
  platform::WallTime start = world.clock.now();
  SimAccessibility ax{world};
  SimWorkspace workspace{world};
  SimPasteboard pasteboard{world};
};

TEST_F(SimDesktopTest, WorldWithoutDesktopSectionsRunsNothingAndIsNotTrusted) {
  load(R"({"audio": {}})");
  EXPECT_FALSE(ax.isProcessTrusted());
  EXPECT_TRUE(workspace.runningApplications("us.zoom.xos").empty());
  EXPECT_TRUE(pasteboard.items().empty());
  EXPECT_EQ(pasteboard.changeCount(), 0);
  EXPECT_EQ(status(app(1), "AXRole"), platform::kAXErrorAPIDisabled);
}

TEST_F(SimDesktopTest, WorldFileBuildsTreesWithTypedValues) {
  load(R"({
    "accessibility": {"trusted": true},
    "applications": [
      {"bundleId": "com.example.a", "pid": 20, "id": "second"},
      {"bundleId": "com.example.b", "pid": 30},
      {"bundleId": "com.example.a", "pid": 10, "id": "a",
       "menuBar": {"id": "bar"},
       "windows": [{"id": "w", "document": "https://example.com/doc",
                    "children": [{"id": "field", "role": "AXTextField", "value": 3.5,
                                  "attributes": {"AXTitle": {"text": "T"}, "AXEnabled": true,
                                                 "AXLinked": {"element": "w"},
                                                 "AXItems": {"elements": ["bar", "w"]},
                                                 "AXRich": {"other": "attributed"},
                                                 "AXNothing": null},
                                  "fail": {"AXHelp": {"error": "cannotComplete", "value": "x"},
                                           "AXDescription": -25212},
                                  "failSet": {"AXFocused": "failure"},
                                  "actions": {"AXPress": "actionUnsupported"}}]}],
       "children": [{"id": "extra", "role": "AXGroup"}]}
    ]})");
  EXPECT_TRUE(ax.isProcessTrusted());
  EXPECT_EQ(workspace.runningApplications("com.example.a"), (std::vector<pid_t>{20, 10}));

  AXElement a = app(10);
  EXPECT_EQ(textOf(a, "AXRole"), "AXApplication");
  EXPECT_EQ(list(a, "AXChildren").size(), 3u);  // menu bar, window, extra
  std::vector<AXElement> windows = list(a, "AXWindows");
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(textOf(windows[0], "AXRole"), "AXWindow");
  EXPECT_EQ(std::get<platform::AXURL>(read(windows[0], "AXDocument")).absoluteString,
            "https://example.com/doc");
  AXValue bar = read(a, "AXMenuBar");
  EXPECT_EQ(textOf(std::get<AXElement>(bar), "AXRole"), "AXMenuBar");

  AXElement field = list(windows[0], "AXChildren").at(0);
  EXPECT_EQ(std::get<platform::AXNumber>(read(field, "AXValue")).value, 3.5);
  EXPECT_EQ(textOf(field, "AXTitle"), "T");
  EXPECT_TRUE(std::get<bool>(read(field, "AXEnabled")));
  EXPECT_EQ(textOf(std::get<AXElement>(read(field, "AXLinked")), "AXRole"), "AXWindow");
  EXPECT_EQ(textOf(std::get<AXElement>(read(field, "AXParent")), "AXRole"), "AXWindow");
  EXPECT_EQ(list(field, "AXItems").size(), 2u);
  EXPECT_TRUE(std::holds_alternative<platform::AXOther>(read(field, "AXRich")));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(read(field, "AXNothing")));
  AXValue delivered;
  EXPECT_EQ(ax.copyAttributeValue(field, "AXHelp", delivered), platform::kAXErrorCannotComplete);
  EXPECT_EQ(std::get<platform::AXText>(delivered).text, "x");
  EXPECT_EQ(status(field, "AXDescription"), platform::kAXErrorNoValue);
  EXPECT_EQ(status(field, "AXUnknown"), platform::kAXErrorAttributeUnsupported);
  EXPECT_EQ(status(a, "AXParent"), platform::kAXErrorNoValue);
  EXPECT_EQ(ax.setAttributeValue(field, "AXFocused", true), platform::kAXErrorFailure);
  EXPECT_EQ(ax.performAction(field, "AXPress"), platform::kAXErrorActionUnsupported);
  EXPECT_EQ(ax.performAction(field, "AXShowMenu"), platform::kAXErrorSuccess);
  EXPECT_EQ(status(app(99), "AXRole"), platform::kAXErrorInvalidUIElement);
}

TEST_F(SimDesktopTest, InvalidWorldFilesNameThePlace) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"accessibility": {"trusted": 1}})", "accessibility.trusted"},
      {R"({"accessibility": {"trust": true}})", "unknown member \"trust\""},
      {R"({"applications": [{"pid": 1}]})", "missing \"bundleId\""},
      {R"({"applications": [{"bundleId": "x", "pid": -1}]})", "applications[0].pid"},
      {R"({"applications": [{"bundleId": "x", "pid": 1, "windows": [{"rol": "AXWindow"}]}]})",
       "applications[0].windows[0]: unknown member \"rol\""},
      {R"({"applications": [{"bundleId": "x", "pid": 1, "fail": {"AXRole": "broken"}}]})",
       "applications[0].fail.AXRole"},
      {R"({"applications": [{"bundleId": "x", "pid": 1, "windows": [{"id": "d"}, {"id": "d"}]}]})",
       "\"d\" is used twice"},
      {R"({"applications": [{"bundleId": "x", "pid": 1, "value": {"url": 3}}]})",
       "applications[0].value.url"},
      {R"({"applications": [{"bundleId": "x", "pid": 1,
           "reactions": [{"on": "AXPress", "do": [{"remove": "a", "writePasteboard": []}]}]}]})",
       "applications[0].reactions[0].do[0]: give exactly one"},
      {R"({"pasteboard": {"items": [[{"type": "t", "hex": "0g"}]]}})",
       "pasteboard.items[0][0].hex"},
      {R"({"timeline": [{"atMs": -5, "remove": "x"}]})", "timeline[0].atMs"},
  };
  for (auto [text, where] : cases) {
    DesktopModel model;
    std::string error;
    EXPECT_FALSE(loadDesktop(*json::parse(text), model, &error)) << text;
    EXPECT_NE(error.find(where), std::string::npos) << error << " for " << where;
  }
}

TEST_F(SimDesktopTest, LatencyIsSpentOnTheClockAndBoundedByTheMessagingTimeout) {
  world.desktop.trusted = true;
  NodeTemplate root = applicationNode("slow", {}, {});
  root.add(NodeTemplate("fast").role("AXButton"));
  root.children[0].latency = 0us;
  NodeTemplate blocking("blocking");
  blocking.actionLatency = 800ms;
  root.add(blocking);
  world.desktop.addApplication({"com.example.slow", 5, 2s, false, root});
  world.desktop.addApplication({"com.example.hung", 6, 0s, true, applicationNode("hung", {}, {})});
  AXElement slow = app(5);

  EXPECT_EQ(status(slow, "AXRole"), platform::kAXErrorSuccess);  // the default timeout is 6 s
  EXPECT_EQ(elapsed(), 2s);
  AXElement systemWide = ax.createSystemWide();
  EXPECT_EQ(ax.setMessagingTimeout(systemWide, 1.0f), platform::kAXErrorSuccess);
  EXPECT_EQ(status(slow, "AXRole"), platform::kAXErrorCannotComplete);
  EXPECT_EQ(elapsed(), 3s);
  EXPECT_EQ(status(app(6), "AXRole"), platform::kAXErrorCannotComplete);
  EXPECT_EQ(elapsed(), 4s);

  world.clock.set(start);
  std::vector<AXElement> slowChildren;
  EXPECT_EQ(ax.setMessagingTimeout(systemWide, 3.0f), platform::kAXErrorSuccess);
  slowChildren = list(slow, "AXChildren");
  EXPECT_EQ(elapsed(), 2s);
  EXPECT_EQ(textOf(slowChildren[0], "AXRole"), "AXButton");
  EXPECT_EQ(elapsed(), 2s);  // the node's own latency
  EXPECT_EQ(ax.performAction(slowChildren[1], "AXPress"), platform::kAXErrorSuccess);
  EXPECT_EQ(elapsed(), 2800ms);
}

TEST_F(SimDesktopTest, ReactionsChangeTheTreeOnTheVirtualClock) {
  world.desktop.trusted = true;
  NodeTemplate button("button");
  button.onPress({addNodes("w", {NodeTemplate("menu").add(NodeTemplate("item"))}, 200ms)}, 1)
      .onPress({removeNode("menu")}, 2)
      .onSet("AXSelected", true, {setValue("w", "AXTitle", text("selected"))});
  world.desktop.addApplication(
      {"com.example.app", 1, 0s, false,
       applicationNode("app", {}, {NodeTemplate("w").role("AXWindow").add(button)})});
  AXElement w = list(app(1), "AXWindows").at(0);
  AXElement b = list(w, "AXChildren").at(0);

  EXPECT_EQ(ax.performAction(b, "AXPress"), platform::kAXErrorSuccess);
  EXPECT_EQ(list(w, "AXChildren").size(), 1u);
  world.clock.sleepMicroseconds(199'999);
  EXPECT_EQ(list(w, "AXChildren").size(), 1u);
  world.clock.sleepMicroseconds(1);
  std::vector<AXElement> children = list(w, "AXChildren");
  ASSERT_EQ(children.size(), 2u);
  AXElement item = list(children[1], "AXChildren").at(0);

  EXPECT_EQ(ax.performAction(b, "AXPress"), platform::kAXErrorSuccess);
  EXPECT_EQ(list(w, "AXChildren").size(), 1u);
  EXPECT_EQ(status(children[1], "AXRole"), platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(status(item, "AXRole"), platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(ax.performAction(b, "AXPress"), platform::kAXErrorSuccess);  // third: nothing
  world.clock.sleepMicroseconds(1'000'000);
  EXPECT_EQ(list(w, "AXChildren").size(), 1u);

  EXPECT_EQ(ax.setAttributeValue(b, "AXSelected", false), platform::kAXErrorSuccess);
  EXPECT_EQ(status(w, "AXTitle"), platform::kAXErrorAttributeUnsupported);
  EXPECT_EQ(ax.setAttributeValue(b, "AXSelected", true), platform::kAXErrorSuccess);
  EXPECT_EQ(textOf(w, "AXTitle"), "selected");
  EXPECT_TRUE(std::get<bool>(read(b, "AXSelected")));
}

TEST_F(SimDesktopTest, EffectsThatFallDueDuringARequestShapeItsAnswer) {
  world.desktop.trusted = true;
  std::vector<NodeTemplate> many(50, NodeTemplate().role("AXRow"));
  NodeTemplate button("button");
  button.onPress({addNodes("w", many, 5ms), removeNode("button", 5ms)});
  world.desktop.addApplication(
      {"com.example.app", 1, 10ms, false,
       applicationNode("app", {}, {NodeTemplate("w").role("AXWindow").add(button)})});
  AXElement w = list(app(1), "AXWindows").at(0);
  AXElement b = list(w, "AXChildren").at(0);
  EXPECT_EQ(ax.performAction(b, "AXPress"), platform::kAXErrorSuccess);
  // The press was answered at 30 ms; the next request is answered at 40 ms, after the change.
  EXPECT_EQ(status(b, "AXRole"), platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(list(w, "AXChildren").size(), 50u);
  EXPECT_EQ(elapsed(), 50ms);
}

TEST_F(SimDesktopTest, PasteboardKeepsItemsTypesDataAndItsChangeCount) {
  load(R"({"pasteboard": {"changeCount": 7, "items": [
             [{"type": "public.utf8-plain-text", "text": "hello"}, {"type": "public.png", "hex": "89504e47"},
              {"type": "promised", "unreadable": true}],
             [{"type": "public.utf8-plain-text", "text": "second"}]]},
           "timeline": [{"atMs": 500, "writePasteboard": [[{"type": "public.utf8-plain-text", "text": "later"}]]}]})");
  std::vector<platform::PasteboardItem> items = pasteboard.items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(pasteboard.types(items[0]),
            (std::vector<std::string>{"public.utf8-plain-text", "public.png", "promised"}));
  EXPECT_EQ(pasteboard.dataForType(items[0], "public.png"),
            (platform::Bytes{0x89, 0x50, 0x4e, 0x47}));
  EXPECT_EQ(pasteboard.dataForType(items[0], "promised"), std::nullopt);
  EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), "hello");
  EXPECT_EQ(pasteboard.changeCount(), 7);

  pasteboard.clearContents();
  EXPECT_EQ(pasteboard.changeCount(), 8);
  EXPECT_TRUE(pasteboard.types(items[0]).empty());  // items of before the clear are gone
  EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), std::nullopt);
  pasteboard.writeObjects({{{"public.utf8-plain-text", {'a'}}}, {}});
  EXPECT_EQ(pasteboard.changeCount(), 8);
  EXPECT_EQ(pasteboard.items().size(), 2u);
  EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), "a");

  world.clock.sleepMicroseconds(500'000);
  EXPECT_EQ(pasteboard.changeCount(), 9);
  EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), "later");
}

TEST_F(SimDesktopTest, EveryCallIsLoggedAndTheFinalStateShowsWhatChanged) {
  load(R"({"accessibility": {"trusted": true},
           "applications": [{"bundleId": "com.example.app", "pid": 3, "id": "app",
                             "windows": [{"id": "w", "reactions": [{"on": "AXRaise", "do": [
                                 {"add": {"id": "sheet"}, "to": "w"}, {"remove": "sheet"}]}]}]}],
           "pasteboard": {"items": [[{"type": "bin", "hex": "ff00"}]]}})");
  {
    AXElement a = app(3);
    AXElement w = list(a, "AXWindows").at(0);
    ax.setAttributeValue(a, "AXEnhancedUserInterface", true);
    ax.performAction(w, "AXRaise");
    ax.setMessagingTimeout(ax.createSystemWide(), 1.0f);
    EXPECT_EQ(world.desktop.liveElementHandles(), 2);
  }
  std::vector<CallLog::Entry> entries = world.log.entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(
      json::dump(toJSON(entries[1])),
      R"({"call":"AXUIElementCopyAttributeValue","args":{"element":"app","attribute":"AXWindows"},"result":0})");
  EXPECT_EQ(
      json::dump(toJSON(entries[3])),
      R"({"call":"AXUIElementPerformAction","args":{"element":"w","action":"AXRaise"},"result":0})");

  EXPECT_EQ(
      json::dump(desktopState(world.desktop)),
      R"({"trusted":true,"messagingTimeout":1,"pasteboard":{"changeCount":0,"items":[[{"type":"bin","hex":"ff00"}]]},)"
      R"("changedAttributes":[{"node":"app","attribute":"AXEnhancedUserInterface","value":true}],)"
      R"("addedNodes":["sheet"],"removedNodes":["sheet"],"liveElementHandles":0})");
}

}  // namespace
}  // namespace velmuro::sim
