// The Zoom reader of the shipped tool on a private headless desktop: a GTK window with a menu bar
// of the tests' own stands in for the meeting client, in an application scope that names it as
// Zoom's Linux ID, and the tests' clipboard owner holds what the user had copied.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/accessibility/reader_runs.h"
#include "platform/linux/clipboard/clipboard_desktop.h"
#include "platform/linux/desktop/application_scope.h"
#include "platform/linux/desktop/browser.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kLink = "https://example.zoom.us/j/8152?pwd=Ab9 \n";
const std::string kHtml = "<p>R\xC3\xA9union \xE2\x80\x94 \xE4\xBC\x9A\xE8\xAE\xAE</p>";
const std::vector<std::string> kDataTargets{"text/plain", "UTF8_STRING", "text/html", "image/png"};

// A menu-bar item titled "Meeting" whose item "Copy Invite Link" copies these texts in turn.
std::string meetingMenu(const std::vector<std::string>& copies) {
  std::string texts;
  for (const std::string& text : copies) {
    if (!texts.empty()) texts += ",";
    texts += "\"";
    for (char c : text) {
      if (c == '\n') {
        texts += "\\n";
      } else {
        if (c == '"' || c == '\\') texts += "\\";
        texts.push_back(c);
      }
    }
    texts += "\"";
  }
  return R"([{"title": "File", "items": [{"title": "Close"}]},
             {"title": "Meeting", "items": [{"title": "Mute"},
               {"title": "Copy Invite Link", "copies": [)" +
         texts + R"(], "delayMs": 20}]}])";
}

// The meeting client's stand-in: tests/platform/linux/zoom/menu_app.py in a scope of its own.
class MeetingWindow {
 public:
  // Starts the window with these menus (menu_app.py's JSON) as the application the ID names;
  // empty, or what went wrong.
  std::string start(const Environment& desktop, const std::string& id, const std::string& menus,
                    const TemporaryDirectory& directory) {
    static int started = 0;
    std::string error;
    std::optional<ApplicationScope> scope = ApplicationScope::create(id, &error);
    if (!scope) return error;
    scope_ = std::make_unique<ApplicationScope>(std::move(*scope));
    reports_ = directory.path() + "/presses" + std::to_string(++started);
    std::string app = std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/zoom/menu_app.py";
    process_ = std::make_unique<Process>(
        "/bin/sh", commandInScope(*scope_, "/usr/bin/python3", {app, reports_, menus}), desktop);
    if (!runAtspiProbe(desktop, {"registered", std::to_string(process_->pid()), "30000"})) {
      return "the menu-bar window never joined the accessibility bus";
    }
    return {};
  }
  // The titles of the items pressed so far.
  std::vector<std::string> presses() const {
    std::ifstream file(reports_);
    std::vector<std::string> pressed;
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("pressed ", 0) == 0) pressed.push_back(line.substr(8));
    }
    return pressed;
  }

 private:
  std::unique_ptr<ApplicationScope> scope_;
  std::string reports_;
  std::unique_ptr<Process> process_;
};

class DesktopZoomTest : public ClipboardTest {
 protected:
  DesktopZoomTest() : ClipboardTest(PrivateDesktop::Accessibility::kOn) {}

  // Starts the stand-in with these menus as Zoom; empty, or what went wrong.
  std::string startMeeting(const std::string& menus) {
    windows_.push_back(std::make_unique<MeetingWindow>());
    return windows_.back()->start(environment(), "zoom", menus, directory_);
  }
  MeetingWindow& meeting(std::size_t index = 0) { return *windows_.at(index); }

  // The user's clipboard: several targets at once, one of them by INCR, one refused.
  std::unique_ptr<Process> copyUsersClipboard() {
    png_ = binaryBytes(700 * 1024);
    return startOwner({"text/plain=" + writeFile("plain", "notes for later"),
                       "UTF8_STRING=" + writeFile("utf8", "notes for later \xC3\xA9"),
                       "text/html=" + writeFile("html", kHtml),
                       "image/png=" + writeFile("png", png_), "--refuse", "application/x-secret"});
  }

  ToolRun zoom(const std::vector<std::string>& needles = {}) {
    std::vector<std::string> arguments{"ax-zoom-invite-link"};
    arguments.insert(arguments.end(), needles.begin(), needles.end());
    return runTool(environment(), arguments);
  }

  std::string png_;

 private:
  std::vector<std::unique_ptr<MeetingWindow>> windows_;
};

#define START_MEETING(menus)                       \
  do {                                             \
    std::string error = startMeeting(menus);       \
    VELMURO_REQUIRE_SERVICE(error.empty(), error); \
  } while (false)

std::string okLine(const std::string& text) {
  std::string line = R"({"status":"ok","text":")";
  for (char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else {
      if (c == '/' || c == '"' || c == '\\') line += "\\";
      line.push_back(c);
    }
  }
  return line + "\"}";
}

TEST_F(DesktopZoomTest, TheLinkIsReadAndTheUsersClipboardComesBackWholeAndStaysServed) {
  START_MEETING(meetingMenu({kLink}));
  auto owner = copyUsersClipboard();
  PastedClipboard before = paste();

  ToolRun run = zoom();
  EXPECT_EQ(run.lines, std::vector<std::string>{okLine(kLink)});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(meeting().presses(), std::vector<std::string>{"Copy Invite Link"});
  EXPECT_EQ(owner->readLine(5s), "lost");

  // After the tool has gone: every readable target, byte for byte with its type, and nothing else.
  PastedClipboard after = paste();
  EXPECT_EQ(after.targets,
            (std::vector<std::string>{"TARGETS", "TIMESTAMP", "MULTIPLE", "text/plain",
                                      "UTF8_STRING", "text/html", "image/png"}));
  for (const std::string& target : kDataTargets) {
    EXPECT_EQ(after.data[target], before.data[target]) << target;
  }
  EXPECT_TRUE(after.data["image/png"].incr);
  std::optional<pid_t> server = servingProcess();
  ASSERT_TRUE(server);
  EXPECT_TRUE(isAlive(*server)) << "served by a process that outlives the tool";

  // Another copy ends the serving process.
  auto next = startOwner({"text/plain=" + writeFile("next", "next")});
  EXPECT_TRUE(eventually([&] { return !isAlive(*server); }, 5s));
}

TEST_F(DesktopZoomTest, TheNeedlesFindAnItemOnlyInLowerCaseAndNeverInASubmenu) {
  START_MEETING(R"([
      {"title": "View", "items": [
        {"title": "More", "submenu": [{"title": "Copy invite link", "copies": ["zoom sub"]}]},
        {"title": "Invite Others", "copies": ["https://example.zoom.us/j/1"]}]},
      {"title": "meeting", "items": [{"title": "Copy Invite Link", "copies": ["zoom case"]}]}])");
  // Nothing but the exact menu and item titles without needles; letter case counts.
  EXPECT_EQ(zoom().lines, std::vector<std::string>{R"({"status":"not-found"})"});
  // A needle with a capital never matches the lower-cased titles.
  EXPECT_EQ(zoom({"Invite"}).lines, std::vector<std::string>{R"({"status":"not-found"})"});
  EXPECT_TRUE(meeting().presses().empty());
  // In lower case the first item in menu-bar order that holds it: never the submenu's.
  EXPECT_EQ(zoom({"invite"}).lines,
            std::vector<std::string>{okLine("https://example.zoom.us/j/1")});
  EXPECT_EQ(meeting().presses(), std::vector<std::string>{"Invite Others"});
}

TEST_F(DesktopZoomTest, TheExactItemBeatsAnEarlierNeedleItem) {
  // A menu-bar item without a menu contributes nothing.
  START_MEETING(R"([
      {"title": "Invite"},
      {"title": "View", "items": [{"title": "Invite Others", "copies": ["zoom early"]}]},
      {"title": "Meeting", "items": [{"title": "Copy Invite Link", "copies": ["zoom exact"]}]}])");
  EXPECT_EQ(zoom({"invite"}).lines, std::vector<std::string>{okLine("zoom exact")});
  EXPECT_EQ(meeting().presses(), std::vector<std::string>{"Copy Invite Link"});
}

TEST_F(DesktopZoomTest, NothingCopiedGivesNoTextAndTheClipboardBack) {
  START_MEETING(meetingMenu({}));
  auto owner = copyUsersClipboard();
  PastedClipboard before = paste();
  ToolRun run = zoom();
  EXPECT_EQ(run.lines, std::vector<std::string>{R"({"status":"no-text"})"});
  EXPECT_EQ(meeting().presses(), std::vector<std::string>{"Copy Invite Link"});
  PastedClipboard after = paste();
  for (const std::string& target : kDataTargets) {
    EXPECT_EQ(after.data[target], before.data[target]) << target;
  }
}

TEST_F(DesktopZoomTest, NewTextWithoutTheMarkerStaysOnTheClipboard) {
  START_MEETING(meetingMenu({"https://example.org/not-a-meeting"}));
  auto owner = copyUsersClipboard();
  EXPECT_EQ(zoom().lines, std::vector<std::string>{R"({"status":"no-text"})"});
  PastedClipboard after = paste();
  EXPECT_EQ(after.data["UTF8_STRING"].bytes, "https://example.org/not-a-meeting");
  EXPECT_EQ(after.data.count("image/png"), 0u);
}

TEST_F(DesktopZoomTest, TwoWritesReportTheLinkAndLeaveTheClipboardAsWritten) {
  // Both land before the reader's first look: the link is the last one, and a clipboard written
  // twice is not restored.
  START_MEETING(meetingMenu({"https://example.zoom.us/j/2", "https://example.zoom.us/j/3"}));
  auto owner = copyUsersClipboard();
  EXPECT_EQ(zoom().lines, std::vector<std::string>{okLine("https://example.zoom.us/j/3")});
  PastedClipboard after = paste();
  EXPECT_EQ(after.data["UTF8_STRING"].bytes, "https://example.zoom.us/j/3");
  EXPECT_EQ(after.data.count("image/png"), 0u);
}

TEST_F(DesktopZoomTest, AnEmptyClipboardIsEmptyAgainAfterTheLinkWasRead) {
  START_MEETING(meetingMenu({kLink}));
  EXPECT_EQ(zoom().lines, std::vector<std::string>{okLine(kLink)});
  EXPECT_EQ(paste().status, 1) << "the clipboard has an owner again";
}

TEST_F(DesktopZoomTest, TheOlderOfTwoRunningInstancesIsRead) {
  START_MEETING(meetingMenu({"zoom from the first"}));
  START_MEETING(meetingMenu({"zoom from the second"}));
  EXPECT_EQ(zoom().lines, std::vector<std::string>{okLine("zoom from the first")});
  EXPECT_EQ(meeting(0).presses(), std::vector<std::string>{"Copy Invite Link"});
  EXPECT_TRUE(meeting(1).presses().empty());
}

TEST_F(DesktopZoomTest, WithoutTheClientItIsNotRunningAndTheClipboardIsUntouched) {
  auto owner = copyUsersClipboard();
  EXPECT_EQ(zoom().lines, std::vector<std::string>{R"({"status":"not-running"})"});
  EXPECT_EQ(owner->readLine(300ms), std::nullopt) << "the owner lost the clipboard";
}

}  // namespace
}  // namespace velmuro::testing
