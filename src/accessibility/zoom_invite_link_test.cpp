#include "accessibility/zoom_invite_link.h"

#include <gtest/gtest.h>

#include <optional>

#include "accessibility/element_access.h"
#include "support/reader_test_desktop.h"

namespace velmuro::accessibility {
namespace {

constexpr const char* kLink = "https://us05web.zoom.us/j/81234567890?pwd=abc";

// A menu-bar item titled `title` (no title when absent) whose menu holds these items.
sim::NodeTemplate menu(std::optional<std::string> title, std::vector<sim::NodeTemplate> items) {
  sim::NodeTemplate barItem = node("AXMenuBarItem");
  if (title) barItem.title(*title);
  sim::NodeTemplate list = node("AXMenu");
  list.children = std::move(items);
  barItem.add(std::move(list));
  return barItem;
}

sim::NodeTemplate item(std::string id, std::optional<std::string> title) {
  sim::NodeTemplate blueprint = node("AXMenuItem", std::move(id));
  if (title) blueprint.title(*title);
  return blueprint;
}

// The "Copy Invite Link" item, writing these items to the pasteboard after each delay.
sim::NodeTemplate copyItem(std::vector<std::pair<sim::Micros, std::string>> writes) {
  sim::NodeTemplate blueprint = item("copy", "Copy Invite Link");
  std::vector<sim::Effect> effects;
  for (auto& [delay, text] : writes) {
    effects.push_back(sim::writePasteboard({sim::plainTextItem(text)}, delay));
  }
  blueprint.onPress(std::move(effects));
  return blueprint;
}

class ZoomInviteLinkTest : public ReaderTest {
 protected:
  ZoomInviteLinkTest() {
    world.desktop.pasteboard = {
        sim::plainTextItem("earlier text"),
        {{"public.rtf", bytes("{\\rtf1 x}")}, {"public.png", bytes("\x89PNG")}}};
    world.desktop.changeCount = 10;
  }

  static platform::Bytes bytes(std::string_view s) { return platform::Bytes(s.begin(), s.end()); }

  static sim::NodeTemplate menuBar(std::vector<sim::NodeTemplate> menus) {
    sim::NodeTemplate bar = node("AXMenuBar", "menuBar");
    bar.children = std::move(menus);
    return bar;
  }
  static sim::NodeTemplate copyMenu() { return menu("Meeting", {copyItem({{300ms, kLink}})}); }

  void zoom(std::vector<sim::NodeTemplate> menus, sim::Micros latency = sim::Micros{0}) {
    run(kZoomBundleId, 700,
        sim::applicationNode("zoom", menuBar(std::move(menus)), {window("meeting", {})}), latency);
  }

  std::size_t pasteboardCalls() const {
    std::size_t n = 0;
    for (const char* call : {"pasteboardItems", "types", "dataForType", "clearContents",
                             "changeCount", "stringForType", "writeObjects"}) {
      n += world.log.count(call);
    }
    return n;
  }

  output::JSONMessage copy(const std::vector<std::string>& needles = {}) {
    return copyZoomInviteLink(platform, needles);
  }

  // The menu item that the search returns, by its id; empty when none.
  std::string found(const std::vector<std::string>& needles) {
    platform::AXElement app = axApplication(platform, kZoomBundleId);
    platform::AXElement hit = findInviteLinkItem(platform.accessibility, app, needles);
    if (!hit) return "";
    std::size_t before = world.log.count("AXUIElementPerformAction");
    platform.accessibility.performAction(hit, kAXPress);
    EXPECT_EQ(world.log.count("AXUIElementPerformAction"), before + 1);
    return pressed().back();
  }

  static output::JSONMessage okWith(std::string link) {
    output::JSONMessage message = output::statusMessage("ok");
    message.text = std::move(link);
    return message;
  }

  std::vector<sim::PasteboardItemData> original() const {
    return {sim::plainTextItem("earlier text"),
            {{"public.rtf", bytes("{\\rtf1 x}")}, {"public.png", bytes("\x89PNG")}}};
  }
};

TEST_F(ZoomInviteLinkTest, NotRunningAndUntrustedLeaveThePasteboardAlone) {
  run("us.zoom.other", 700, sim::applicationNode("zoom", menuBar({copyMenu()}), {}));
  EXPECT_EQ(copy(), output::statusMessage("not-running"));
  world.desktop.trusted = false;
  EXPECT_EQ(copy(), output::statusMessage("untrusted"));
  EXPECT_EQ(pasteboardCalls(), 0u);
}

TEST_F(ZoomInviteLinkTest, MenuTitledInAnotherCaseIsNotFound) {
  zoom({menu("meeting", {copyItem({{300ms, kLink}})}),
        menu("Meeting", {item("lower", "Copy invite link")})});
  EXPECT_EQ(copy(), output::statusMessage("not-found"));
  EXPECT_TRUE(pressed().empty());
  EXPECT_EQ(pasteboardCalls(), 0u);
}

TEST_F(ZoomInviteLinkTest, SearchThatTakesTheWholeBudgetIsSlowAndNothingIsPressed) {
  // 100 ms a request: the search makes 22 reads.
  std::vector<sim::NodeTemplate> menus;
  for (int i = 0; i < 4; ++i) menus.push_back(menu("Menu " + std::to_string(i), {item("", "x")}));
  menus.push_back(menu("Meeting", {copyItem({{300ms, kLink}})}));
  zoom(menus, 100ms);
  EXPECT_EQ(copy(), output::statusMessage("slow"));
  EXPECT_TRUE(pressed().empty());
  EXPECT_EQ(pasteboardCalls(), 0u);
  EXPECT_EQ(world.desktop.pasteboard, original());
  EXPECT_EQ(world.desktop.changeCount, 10);
}

TEST_F(ZoomInviteLinkTest, LinkIsReadAndThePasteboardRestored) {
  zoom({menu("Meeting", {copyItem({{300ms, "  " + std::string(kLink) + "\n"}})})});
  EXPECT_EQ(copy(), okWith("  " + std::string(kLink) + "\n"));
  EXPECT_EQ(world.desktop.pasteboard, original());
  // Three sleeps until the write at 300 ms is seen.
  EXPECT_EQ(world.log.count("usleep"), 3u);
  EXPECT_EQ(world.desktop.liveElementHandles(), 0);
}

TEST_F(ZoomInviteLinkTest, MarkerCountsInAnyLetterCase) {
  zoom({menu("Meeting", {copyItem({{0ms, "https://example.ZOOM.us/j/1"}})})});
  EXPECT_EQ(copy(), okWith("https://example.ZOOM.us/j/1"));
}

TEST_F(ZoomInviteLinkTest, LinkWithIllFormedBytesArrivesAsValidUTF8) {
  zoom({menu("Meeting", {copyItem({{0ms, "https://zoom.us/j/1?n=\xFF"}})})});
  EXPECT_EQ(copy(), okWith("https://zoom.us/j/1?n=\xEF\xBF\xBD"));
}

TEST_F(ZoomInviteLinkTest, NothingWrittenIsNoTextAndThePasteboardRestored) {
  zoom({menu("Meeting", {item("copy", "Copy Invite Link")})});
  EXPECT_EQ(copy(), output::statusMessage("no-text"));
  EXPECT_EQ(world.log.count("usleep"), 20u);
  EXPECT_EQ(elapsed(), 2000ms);
  EXPECT_EQ(world.desktop.pasteboard, original());
}

TEST_F(ZoomInviteLinkTest, TwoWritesReportTheLinkButAreNotRestored) {
  // Another process writes just before Zoom does: the link is read, and nothing is restored.
  zoom({menu("Meeting", {copyItem({{200ms, "someone else's text"}, {200ms, kLink}})})});
  EXPECT_EQ(copy(), okWith(kLink));
  EXPECT_EQ(world.desktop.pasteboard,
            std::vector<sim::PasteboardItemData>{sim::plainTextItem(kLink)});
  EXPECT_EQ(world.log.count("writeObjects"), 0u);
}

TEST_F(ZoomInviteLinkTest, SomethingElseWrittenWithoutALinkStays) {
  zoom({menu("Meeting", {copyItem({{200ms, "copied from another app"}})})});
  EXPECT_EQ(copy(), output::statusMessage("no-text"));
  EXPECT_EQ(world.desktop.pasteboard,
            std::vector<sim::PasteboardItemData>{sim::plainTextItem("copied from another app")});
}

TEST_F(ZoomInviteLinkTest, EmptyPasteboardIsEmptyAgain) {
  world.desktop.pasteboard.clear();
  zoom({menu("Meeting", {copyItem({{100ms, kLink}})})});
  EXPECT_EQ(copy(), okWith(kLink));
  EXPECT_TRUE(world.desktop.pasteboard.empty());
  EXPECT_EQ(world.log.count("writeObjects"), 0u);
  EXPECT_EQ(world.desktop.changeCount, 10 + 3);  // the tool's clear, Zoom's write, the restore
}

TEST_F(ZoomInviteLinkTest, TypesWithoutDataAreLostAndAnItemWithoutAnyComesBackEmpty) {
  world.desktop.pasteboard = {
      {{"public.utf8-plain-text", bytes("kept")}, {"promised", std::nullopt}},
      {{"promised", std::nullopt}}};
  zoom({menu("Meeting", {copyItem({{100ms, kLink}})})});
  EXPECT_EQ(copy(), okWith(kLink));
  EXPECT_EQ(world.desktop.pasteboard,
            (std::vector<sim::PasteboardItemData>{sim::plainTextItem("kept"), {}}));
}

// A pasteboard that lists its types but gives data for none of them, as macOS does when it
// refuses this process's reads: nothing could be saved, so nothing may be cleared or restored.
class ZoomRefusedReadsTest : public ZoomInviteLinkTest {
 protected:
  ZoomRefusedReadsTest() { world.desktop.pasteboard = refused(); }

  static std::vector<sim::PasteboardItemData> refused() {
    return {{{"public.utf8-plain-text", std::nullopt}, {"public.rtf", std::nullopt}},
            {{"public.png", std::nullopt}}};
  }
};

TEST_F(ZoomRefusedReadsTest, LinkIsReadAndThePasteboardKeepsZoomsWrite) {
  zoom({copyMenu()});
  EXPECT_EQ(copy(), okWith(kLink));
  EXPECT_EQ(world.log.count("clearContents"), 0u);
  EXPECT_EQ(world.log.count("writeObjects"), 0u);
  EXPECT_EQ(world.desktop.pasteboard,
            std::vector<sim::PasteboardItemData>{sim::plainTextItem(kLink)});
  EXPECT_EQ(world.desktop.changeCount, 10 + 1);  // Zoom's write alone
  // The wait is the usual one: three sleeps until the write at 300 ms is seen.
  EXPECT_EQ(world.log.count("usleep"), 3u);
}

TEST_F(ZoomRefusedReadsTest, NothingWrittenLeavesThePasteboardAsItWas) {
  zoom({menu("Meeting", {item("copy", "Copy Invite Link")})});
  EXPECT_EQ(copy(), output::statusMessage("no-text"));
  EXPECT_EQ(elapsed(), 2000ms);
  EXPECT_EQ(world.desktop.pasteboard, refused());
  EXPECT_EQ(world.desktop.changeCount, 10);
  // Nothing new was written, so there was nothing to read.
  EXPECT_EQ(world.log.count("stringForType"), 0u);
}

TEST_F(ZoomRefusedReadsTest, LinkThatCannotBeReadEitherIsNoTextAndStays) {
  sim::NodeTemplate unreadableCopy = item("copy", "Copy Invite Link");
  unreadableCopy.onPress(
      {sim::writePasteboard({{{"public.utf8-plain-text", std::nullopt}}}, 200ms)});
  zoom({menu("Meeting", {unreadableCopy})});
  EXPECT_EQ(copy(), output::statusMessage("no-text"));
  EXPECT_EQ(world.log.count("clearContents"), 0u);
  EXPECT_EQ(world.desktop.pasteboard,
            (std::vector<sim::PasteboardItemData>{{{"public.utf8-plain-text", std::nullopt}}}));
  EXPECT_EQ(world.desktop.changeCount, 10 + 1);
}

TEST_F(ZoomRefusedReadsTest, OneReadableTypeOrNoTypesAtAllIsTheUsualSaveAndRestore) {
  zoom({copyMenu()});
  world.desktop.pasteboard = {{{"public.png", std::nullopt}}, sim::plainTextItem("kept")};
  EXPECT_EQ(copy(), okWith(kLink));
  EXPECT_EQ(world.desktop.pasteboard,
            (std::vector<sim::PasteboardItemData>{{}, sim::plainTextItem("kept")}));

  world.desktop.pasteboard = {{}};  // one item without any type: nothing was refused
  EXPECT_EQ(copy(), okWith(kLink));
  EXPECT_EQ(world.desktop.pasteboard, std::vector<sim::PasteboardItemData>{{}});
  EXPECT_EQ(world.log.count("clearContents"), 4u);  // each run's clear and its restore
}

TEST_F(ZoomInviteLinkTest, ExactItemUnderMeetingWinsOverAnEarlierNeedleMatch) {
  zoom({menu("View", {item("viewInvite", "Show Invite Window")}),
        menu("Meeting", {item("mute", "Mute"), item("exact", "Copy Invite Link")})});
  EXPECT_EQ(found({"invite"}), "exact");
}

TEST_F(ZoomInviteLinkTest, NeedlesMatchLowerCasedTitlesAsTheyAre) {
  zoom({menu("Edit", {item("paste", "Paste")}),
        menu("Meeting", {item("copyUrl", "Copy Meeting URL"), item("invite", "INVITE Others")}),
        menu("Besprechung", {item("german", "EINLADUNGSLINK KOPIEREN")}),
        menu("Встреча", {item("russian", "Скопировать ССЫЛКУ")})});
  EXPECT_EQ(found({}), "");
  EXPECT_EQ(found({"invite"}), "invite");
  EXPECT_EQ(found({"Invite"}), "");
  EXPECT_EQ(found({""}), "");
  EXPECT_EQ(found({"", "nothing", "url"}), "copyUrl");
  EXPECT_EQ(found({"einladungslink"}), "german");
  EXPECT_EQ(found({"ссылку"}), "russian");
  EXPECT_EQ(found({"СССЫЛКУ"}), "");
}

TEST_F(ZoomInviteLinkTest, NeedlesMatchTitlesOfEveryScriptWithWordFinalSigma) {
  zoom({menu("Συνάντηση", {item("greek", "ΑΝΤΙΓΡΑΦΗ ΣΥΝΔΕΣΜΟΥ ΠΡΟΣΚΛΗΣΗΣ")}),
        menu("შეხვედრა", {item("georgian", "ᲛᲝᲬᲕᲔᲕᲘᲡ ᲑᲛᲣᲚᲘ")})});
  EXPECT_EQ(found({"προσκλησης"}), "greek");
  EXPECT_EQ(found({"προσκλησησ"}), "");
  EXPECT_EQ(found({"მოწვევის"}), "georgian");
}

TEST_F(ZoomInviteLinkTest, OnlyDirectItemsOfTheFirstMenuAreSearched) {
  sim::NodeTemplate submenuHolder = item("more", "More");
  submenuHolder.add(node("AXMenu").add(item("nested", "Copy Invite Link")));
  sim::NodeTemplate twoChildren = menu("Meeting", {item("first", "Mute")});
  twoChildren.add(node("AXMenu").add(item("secondMenu", "Copy Invite Link")));
  zoom({menu("Meeting", {submenuHolder}), twoChildren, node("AXMenuBarItem")});
  EXPECT_EQ(found({"copy"}), "");
}

TEST_F(ZoomInviteLinkTest, UnreadableTitles) {
  sim::NodeTemplate untitledMenu = menu(std::nullopt, {item("untitled", std::nullopt)});
  untitledMenu.children[0].add(item("exactButUntitledMenu", "Copy Invite Link"));
  sim::NodeTemplate failingMenu = menu("Meeting", {item("failing", "Copy Invite Link")});
  failingMenu.fail("AXTitle", platform::kAXErrorCannotComplete);
  zoom({untitledMenu, failingMenu});
  EXPECT_EQ(found({}), "");
  EXPECT_EQ(found({"copy"}), "exactButUntitledMenu");
}

TEST_F(ZoomInviteLinkTest, UnreadableMenuBarIsNotFound) {
  sim::NodeTemplate app = sim::applicationNode("zoom", menuBar({copyMenu()}), {});
  app.fail("AXMenuBar", platform::kAXErrorCannotComplete);
  run(kZoomBundleId, 700, app);
  EXPECT_EQ(copy(), output::statusMessage("not-found"));
}

}  // namespace
}  // namespace velmuro::accessibility
