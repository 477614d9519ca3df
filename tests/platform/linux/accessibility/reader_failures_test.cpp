// The readers of the shipped tool where things go wrong: no accessibility bus, a bus that never
// answers, an application that is not running or runs without accessibility, trees beyond the
// budgets, an application that exits or hangs in the middle of a walk, and ill-formed text.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "platform/linux/accessibility/fake_application.h"
#include "platform/linux/accessibility/reader_runs.h"
#include "platform/linux/desktop/browser.h"
#include "platform/linux/desktop/page_server.h"
#include "platform/linux/desktop/private_desktop.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

const std::vector<std::vector<std::string>> kReaders{
    {"ax-tab-addresses", "org.mozilla.firefox"}, {"ax-teams-join-link"}, {"ax-zoom-invite-link"}};

std::vector<std::string> line(const std::string& text) { return {text}; }

// A Unix socket that accepts connections and never says a word.
class SilentSocket {
 public:
  SilentSocket() {
    path_ = directory_.path() + "/silent";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
      path_.clear();
    }
  }
  ~SilentSocket() { ::close(listener_); }
  std::string address() const { return "unix:path=" + path_; }

 private:
  TemporaryDirectory directory_;
  std::string path_;
  int listener_ = -1;
};

TEST(ReaderBusTest, ABusThatNeverAnswersMakesTheReadersUntrustedWithinAboutASecond) {
  SilentSocket silent;
  TemporaryDirectory runtime;
  const Environment base{{"XDG_RUNTIME_DIR", runtime.path()}, {"HOME", runtime.path()}};
  // The accessibility bus itself, and a session bus asked where the accessibility bus is.
  for (const Environment& environment :
       {withVariables(base, {{"AT_SPI_BUS_ADDRESS", silent.address()}}),
        withVariables(
            base, {{"AT_SPI_BUS_ADDRESS", ""}, {"DBUS_SESSION_BUS_ADDRESS", silent.address()}})}) {
    for (const std::vector<std::string>& reader : kReaders) {
      ToolRun run = runTool(environment, reader, 10s);
      EXPECT_EQ(run.lines, line(R"({"status":"untrusted"})")) << reader[0];
      EXPECT_EQ(run.exitStatus, 0);
      EXPECT_LT(run.took, 2500ms) << reader[0];
    }
  }
}

TEST(ReaderBusTest, WithoutAnyBusTheReadersAreUntrustedAtOnce) {
  TemporaryDirectory runtime;
  const Environment environment{{"XDG_RUNTIME_DIR", runtime.path()},
                                {"HOME", runtime.path()},
                                {"AT_SPI_BUS_ADDRESS", ""},
                                {"DBUS_SESSION_BUS_ADDRESS", ""}};
  for (const std::vector<std::string>& reader : kReaders) {
    ToolRun run = runTool(environment, reader);
    EXPECT_EQ(run.lines, line(R"({"status":"untrusted"})")) << reader[0];
    EXPECT_LT(run.took, 500ms) << reader[0];
  }
}

TEST(DesktopReaderBusTest, ASessionBusWithoutAnAccessibilityBusMakesTheReadersUntrusted) {
  std::string error;
  std::optional<PrivateDesktop> desktop =
      PrivateDesktop::start(PrivateDesktop::Accessibility::kAbsent, &error);
  VELMURO_REQUIRE_SERVICE(desktop, error);
  for (const std::vector<std::string>& reader : kReaders) {
    ToolRun run = runTool(desktop->environment(), reader);
    EXPECT_EQ(run.lines, line(R"({"status":"untrusted"})")) << reader[0];
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_LT(run.took, 1s) << reader[0];
  }
}

// One desktop with the accessibility bus for the whole suite.
class DesktopReaderFailuresTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    desktop_ = new std::optional<PrivateDesktop>(
        PrivateDesktop::start(PrivateDesktop::Accessibility::kOn, &error));
    error_ = error;
  }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  void SetUp() override { VELMURO_REQUIRE_SERVICE(*desktop_, error_); }

  const Environment& environment() const { return (*desktop_)->environment(); }
  // An ID no other process runs as.
  static std::string uniqueId(const std::string& name) {
    static int counter = 0;
    return "org.velmuro.test." + name + std::to_string(::getpid()) + "n" +
           std::to_string(++counter);
  }
  std::unique_ptr<FakeApplication> startFake(const std::string& id,
                                             const std::vector<FakeNode>& windows,
                                             const Misbehaviour& misbehaviour = {}) {
    std::string error;
    std::unique_ptr<FakeApplication> application =
        FakeApplication::start(environment(), id, windows, misbehaviour, &error);
    EXPECT_TRUE(application) << error;
    return application;
  }

  static std::optional<PrivateDesktop>* desktop_;
  static std::string error_;
};

std::optional<PrivateDesktop>* DesktopReaderFailuresTest::desktop_ = nullptr;
std::string DesktopReaderFailuresTest::error_;

Misbehaviour exitingAfter(int requests) {
  Misbehaviour misbehaviour;
  misbehaviour.exitAfter = requests;
  return misbehaviour;
}

Misbehaviour hangingAfter(int requests) {
  Misbehaviour misbehaviour;
  misbehaviour.hangAfter = requests;
  return misbehaviour;
}

Misbehaviour withIllFormedDirectConnection() {
  Misbehaviour misbehaviour;
  misbehaviour.illFormedDirect = true;
  return misbehaviour;
}

FakeNode frame(std::vector<FakeNode> children) {
  FakeNode node;
  node.role = kRoleFrame;
  node.children = std::move(children);
  return node;
}

FakeNode panel(std::vector<FakeNode> children) {
  FakeNode node;
  node.children = std::move(children);
  return node;
}

// A window holding entries "wide0", "wide1", ... side by side, after the given nodes.
FakeNode wideWindow(int count, std::vector<FakeNode> before = {}) {
  std::vector<FakeNode> entries;
  for (int i = 0; i < count; ++i) entries.push_back(entry("wide" + std::to_string(i)));
  before.push_back(panel(std::move(entries)));
  return frame(std::move(before));
}

std::vector<std::string> wideTexts(int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back("wide" + std::to_string(i));
  return texts;
}

// A chain of panels from depth 1 (below the window) down to depth `levels`, with `leaf` added at
// each depth named in `at`, keyed by its depth.
FakeNode chain(int levels, const std::map<int, FakeNode>& at) {
  FakeNode bottom;
  for (int depth = levels; depth >= 1; --depth) {
    FakeNode level =
        panel(depth == levels ? std::vector<FakeNode>{} : std::vector<FakeNode>{bottom});
    if (auto leaf = at.find(depth + 1); leaf != at.end()) level.children.push_back(leaf->second);
    bottom = std::move(level);
  }
  return bottom;
}

TEST_F(DesktopReaderFailuresTest, AnApplicationThatIsNotRunningIsNotRunning) {
  for (const std::vector<std::string>& reader :
       {std::vector<std::string>{"ax-tab-addresses", uniqueId("absent")},
        std::vector<std::string>{"ax-teams-join-link"}}) {
    ToolRun run = runTool(environment(), reader);
    EXPECT_EQ(run.lines, line(R"({"status":"not-running"})")) << reader[0];
  }
}

TEST_F(DesktopReaderFailuresTest, TheTabWalkStopsAtTheDepthAndTheBudgetOfEachWindow) {
  // Window one: a chain of panels 25 levels deep with an entry at depth 19 (read) and one at depth
  // 20 (visited, not examined), then 4000 entries side by side. The window, the chain's panels
  // down to depth 20 (those below are never reached) and the two entries take 23 visits, the
  // panel of entries one more, so 2975 entries are read before the budget of 2999 visits is used
  // up. Window two starts afresh.
  const std::string id = uniqueId("budget");
  FakeNode first = wideWindow(4000, {chain(25, {{19, entry("deep19")}, {20, entry("deep20")}})});
  std::unique_ptr<FakeApplication> application = startFake(id, {first, frame({entry("second")})});
  ASSERT_TRUE(application);
  std::vector<std::string> expected{"deep19"};
  for (const std::string& text : wideTexts(2975)) expected.push_back(text);
  expected.push_back("second");
  ToolRun run = runTool(environment(), {"ax-tab-addresses", id}, 60s);
  EXPECT_EQ(run.lines, line(tabAddressesLine(expected)));
}

// The fake meeting client: its join link on display (so that nothing needs pressing) and its
// overflow button where the test puts it.
FakeNode joinLink() {
  FakeNode link = withDOMIdentifier("meet_invite_block.action.join_link");
  link.uri = "https://teams.example/l/meetup-join/fake";
  return link;
}

TEST_F(DesktopReaderFailuresTest, TheTeamsSearchStopsAtTheDepthLimit) {
  FakeNode overflow = withDOMIdentifier("callingButtons-showMoreBtn");
  // The overflow button at depth 60 is visited but not examined; at depth 59 it is found.
  FakeNode tooDeep = frame({chain(61, {{60, overflow}}), joinLink()});
  FakeNode deepEnough = frame({chain(60, {{59, overflow}}), joinLink()});
  {
    std::unique_ptr<FakeApplication> application = startFake("teams-for-linux", {tooDeep});
    ASSERT_TRUE(application);
    ToolRun run = runTool(environment(), {"ax-teams-join-link"}, 60s);
    EXPECT_EQ(run.lines, line(R"({"status":"not-found"})"));
  }
  std::unique_ptr<FakeApplication> application = startFake("teams-for-linux", {deepEnough});
  ASSERT_TRUE(application);
  ToolRun run = runTool(environment(), {"ax-teams-join-link"}, 60s);
  EXPECT_EQ(run.lines,
            line(R"({"status":"ok","text":"https:\/\/teams.example\/l\/meetup-join\/fake"})"));
}

// Whether the addresses are the first ones of the full list, in order.
bool isPrefix(const std::vector<std::string>& lines, const std::vector<std::string>& full) {
  for (std::size_t count = 0; count <= full.size(); ++count) {
    if (lines == line(tabAddressesLine(std::vector<std::string>(
                     full.begin(), full.begin() + static_cast<long>(count))))) {
      return true;
    }
  }
  return false;
}

TEST_F(DesktopReaderFailuresTest, AnApplicationThatExitsDuringTheWalkGivesWhatWasReadAtOnce) {
  const std::string id = uniqueId("exits");
  std::unique_ptr<FakeApplication> application =
      startFake(id, {wideWindow(2000)}, exitingAfter(400));
  ASSERT_TRUE(application);
  ToolRun run = runTool(environment(), {"ax-tab-addresses", id}, 30s);
  EXPECT_FALSE(application->running());
  EXPECT_TRUE(isPrefix(run.lines, wideTexts(2000))) << run.lines.front();
  EXPECT_NE(run.lines, line(tabAddressesLine(wideTexts(2000))));
  EXPECT_LT(run.took, 5s);
}

TEST_F(DesktopReaderFailuresTest, AnApplicationThatHangsDuringTheWalkCostsOneTimeout) {
  const std::string id = uniqueId("hangs");
  std::unique_ptr<FakeApplication> application =
      startFake(id, {wideWindow(2000)}, hangingAfter(400));
  ASSERT_TRUE(application);
  ToolRun run = runTool(environment(), {"ax-tab-addresses", id}, 60s);
  EXPECT_TRUE(isPrefix(run.lines, wideTexts(2000))) << run.lines.front();
  EXPECT_NE(run.lines, line(tabAddressesLine(wideTexts(2000))));
  // One request waits its second; every later one fails at once.
  EXPECT_GE(run.took, 1s);
  EXPECT_LT(run.took, 5s);

  // The Teams reader on a hung client: "not-found" at its deadline, not one second per request.
  std::unique_ptr<FakeApplication> meeting = startFake(
      "teams-for-linux", {frame({withDOMIdentifier("callingButtons-showMoreBtn"), joinLink()})},
      hangingAfter(1));
  ASSERT_TRUE(meeting);
  ToolRun teams = runTool(environment(), {"ax-teams-join-link"}, 60s);
  EXPECT_EQ(teams.lines, line(R"({"status":"not-found"})"));
  EXPECT_LT(teams.took, 8s);
}

TEST_F(DesktopReaderFailuresTest, AnApplicationWhoseOwnConnectionSendsIllFormedTextIsCutOff) {
  // libdbus refuses a message whose text is not UTF-8 and closes that connection: nothing of it
  // reaches the line, and the run ends at once.
  const std::string id = uniqueId("illformed");
  std::unique_ptr<FakeApplication> application =
      startFake(id, {frame({entry("http://a.example/")})}, withIllFormedDirectConnection());
  ASSERT_TRUE(application);
  ToolRun run = runTool(environment(), {"ax-tab-addresses", id});
  EXPECT_EQ(run.lines, line(R"({"status":"ok","addresses":[]})"));
  EXPECT_LT(run.took, 1s);
  EXPECT_TRUE(application->running());
}

TEST_F(DesktopReaderFailuresTest, ABrowserStartedWithoutAccessibilityGivesNoAddresses) {
  // Accessibility is off when the browser starts and switched on afterwards: Chromium stays off
  // the bus. A running application that refuses accessibility is no reason to ask the user for a
  // permission: the reader answers "ok".
  ASSERT_TRUE(runAtspiProbe(environment(), {"enable", "false"}));
  PageServer server(std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/accessibility/pages");
  const std::string id = uniqueId("offline");
  std::string error;
  std::unique_ptr<Browser> browser =
      Browser::start(environment(), Browser::Kind::kChromium, id, false,
                     server.url("tab.html", "token=off"), &error);
  VELMURO_REQUIRE_SERVICE(browser, error);
  bool loaded = server.waitForReports("off", 1, 60s);
  ASSERT_TRUE(runAtspiProbe(environment(), {"enable", "true"}));
  VELMURO_REQUIRE_SERVICE(loaded, "the browser never loaded the page");
  EXPECT_FALSE(browser->waitUntilOnBus(2s));

  ToolRun run = runTool(environment(), {"ax-tab-addresses", id});
  EXPECT_EQ(run.lines, line(R"({"status":"ok","addresses":[]})"));
  EXPECT_LT(run.took, 3s);
}

}  // namespace
}  // namespace velmuro::testing
