// The tab reader of the shipped tool on real browsers (Chromium, Firefox ESR) on a private
// headless desktop, showing pages of the test's own page server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "platform/linux/accessibility/reader_runs.h"
#include "platform/linux/desktop/browser.h"
#include "platform/linux/desktop/page_server.h"
#include "platform/linux/desktop/private_desktop.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

std::string pagesDirectory() {
  return std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/accessibility/pages";
}

// A page's address: tab.html titled as given.
std::string tabPage(const PageServer& server, const std::string& title) {
  return server.url("tab.html", "title=" + title + "&token=" + title);
}

// The line without the documents of Chromium's address-bar popup: once the address bar has been
// typed into, the hidden popup windows may or may not hold one, as Chromium pleases.
std::string withoutPopupDocuments(std::string line) {
  const std::string popup = "\"chrome:\\/\\/omnibox-popup.top-chrome\\/\",";
  for (std::size_t at; (at = line.find(popup)) != std::string::npos;) line.erase(at, popup.size());
  return line;
}

// Chromium's address bar shows an address without its http://.
std::string addressBarText(const std::string& address) { return address.substr(7); }

class DesktopBrowserTabsTest : public ::testing::Test {
 protected:
  // Starts the desktop, the page server and the browser showing the page, and waits until the
  // page has loaded and the browser is on the bus; what went wrong, or empty.
  std::string startBrowser(Browser::Kind kind, const std::string& title) {
    std::string error;
    desktop_ = PrivateDesktop::start(PrivateDesktop::Accessibility::kOn, &error);
    if (!desktop_) return error;
    server_ = std::make_unique<PageServer>(pagesDirectory());
    if (server_->port() == 0) return "the page server could not start";
    id_ = "org.velmuro.test.browser" + std::to_string(::getpid());
    browser_ =
        Browser::start(desktop_->environment(), kind, id_, true, tabPage(*server_, title), &error);
    if (!browser_) return error;
    if (!server_->waitForReports(title, 1, 60s)) return "the browser never loaded the page";
    if (!browser_->waitUntilOnBus(30s)) return "the browser never joined the accessibility bus";
    return {};
  }

  // Runs the tab reader on the browser until it prints the expected line, for at most 5 s: a
  // window that was just opened shows its document a moment after the page has loaded.
  std::string readTabsUntil(const std::string& expected) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::string line;
    do {
      ToolRun run = runTool(desktop_->environment(), {"ax-tab-addresses", id_});
      line = run.lines.empty() ? "" : withoutPopupDocuments(run.lines.back());
      if (line == expected) break;
      std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return line;
  }

  std::optional<PrivateDesktop> desktop_;
  std::unique_ptr<PageServer> server_;
  std::string id_;
  std::unique_ptr<Browser> browser_;
};

TEST_F(DesktopBrowserTabsTest, ChromiumGivesEachWindowsAddressBarAndPageInWindowOrder) {
  std::string error = startBrowser(Browser::Kind::kChromium, "One");
  VELMURO_REQUIRE_SERVICE(error.empty(), error);
  const std::string one = tabPage(*server_, "One");

  // The first read wakes Chromium's tree and waits for the page's document; nothing from inside
  // the page (its text field, its link) is collected.
  ToolRun first = runTool(desktop_->environment(), {"ax-tab-addresses", id_});
  EXPECT_EQ(first.lines, std::vector<std::string>{tabAddressesLine({addressBarText(one), one})});
  EXPECT_EQ(first.exitStatus, 0);

  const std::string two = tabPage(*server_, "Two"), three = tabPage(*server_, "Three");
  ASSERT_TRUE(browser_->openWindow(two));
  ASSERT_TRUE(browser_->openWindow(three));
  ASSERT_TRUE(server_->waitForReports("Two", 1, 30s));
  ASSERT_TRUE(server_->waitForReports("Three", 1, 30s));
  // Side by side: a window that another covers completely keeps its document empty.
  ASSERT_TRUE(browser_->placeWindow("One", 0, 0, 420, 1000));
  ASSERT_TRUE(browser_->placeWindow("Two", 430, 0, 420, 1000));
  ASSERT_TRUE(browser_->placeWindow("Three", 860, 0, 420, 1000));
  EXPECT_EQ(readTabsUntil(tabAddressesLine({addressBarText(one), one, addressBarText(two), two,
                                            addressBarText(three), three})),
            tabAddressesLine({addressBarText(one), one, addressBarText(two), two,
                              addressBarText(three), three}));

  // An address bar that holds a search phrase is left out; the others stay.
  ASSERT_TRUE(browser_->typeIntoAddressBar("Two", "meeting notes"));
  EXPECT_EQ(readTabsUntil(
                tabAddressesLine({addressBarText(one), one, two, addressBarText(three), three})),
            tabAddressesLine({addressBarText(one), one, two, addressBarText(three), three}));
}

TEST_F(DesktopBrowserTabsTest, FirefoxGivesItsAddressBarAndPage) {
  std::string error = startBrowser(Browser::Kind::kFirefox, "Fox");
  VELMURO_REQUIRE_SERVICE(error.empty(), error);
  const std::string page = tabPage(*server_, "Fox");
  // Firefox's address bar is a combo box that holds the whole address.
  EXPECT_EQ(readTabsUntil(tabAddressesLine({page, page})), tabAddressesLine({page, page}));
}

}  // namespace
}  // namespace velmuro::testing
