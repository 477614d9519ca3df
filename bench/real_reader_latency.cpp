// Times the readers of the shipped tool on a private headless desktop: the tab read of a real
// Chromium with three windows, the Teams reader's "ok" path on the test's stand-in meeting page,
// and the Zoom reader's "ok" path on the tests' GTK menu-bar window with 1 MiB on the clipboard
// (saved and given back each run), each from the tool's launch to its line. Then, in this process
// with the same backend, counts what one read costs: the AT-SPI requests and the round trips waited
// on per visited node, and the read's time against a floor of as many single requests made alone.
//
//   real_reader_latency [runs]        (default 20 runs per case)
//
// Needs root (the browsers run in application scopes, as a desktop shell starts them).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accessibility/tab_addresses.h"
#include "accessibility/teams_join_link.h"
#include "figures.h"
#include "platform/linux/accessibility/linux_accessibility.h"
#include "platform/linux/desktop/application_scope.h"
#include "platform/linux/desktop/browser.h"
#include "platform/linux/desktop/page_server.h"
#include "platform/linux/desktop/private_desktop.h"
#include "platform/linux/linux_platform.h"

using velmuro::linux_desktop::LinuxAccessibility;
using velmuro::testing::Browser;
using velmuro::testing::Environment;
using velmuro::testing::PageServer;
using velmuro::testing::PrivateDesktop;
using velmuro::testing::Process;

namespace {

using velmuro::bench::median;
using velmuro::bench::milliseconds;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace platform = velmuro::platform;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "real_reader_latency: %s\n", why.c_str());
  std::exit(1);
}

// The tool's launch to its line, and the line.
std::pair<double, std::string> timeTool(const Environment& environment,
                                        const std::vector<std::string>& arguments) {
  Clock::time_point start = Clock::now();
  Process tool(VELMURO_TOOL_BINARY, arguments, environment);
  tool.closeInput();
  std::optional<std::string> line = tool.readLine(30s);
  double took = milliseconds(Clock::now() - start);
  tool.wait(5s);
  return {took, line.value_or("")};
}

// The real backend with every request counted: visits are the reads of the attribute a reader
// makes once on every node it examines.
class CountingAccessibility final : public platform::AccessibilityApi {
 public:
  explicit CountingAccessibility(std::string visitAttribute)
      : visitAttribute_(std::move(visitAttribute)) {}
  bool isProcessTrusted() override { return inner_.isProcessTrusted(); }
  platform::AXElement createApplication(pid_t pid) override {
    application_ = inner_.createApplication(pid);
    return application_;
  }
  platform::AXElement createSystemWide() override { return inner_.createSystemWide(); }
  platform::AXError setMessagingTimeout(const platform::AXElement& element,
                                        float seconds) override {
    return inner_.setMessagingTimeout(element, seconds);
  }
  platform::AXError copyAttributeValue(const platform::AXElement& element,
                                       const std::string& attribute,
                                       platform::AXValue& outValue) override {
    if (attribute == visitAttribute_) ++visits_;
    return inner_.copyAttributeValue(element, attribute, outValue);
  }
  platform::AXError setAttributeValue(const platform::AXElement& element,
                                      const std::string& attribute, bool value) override {
    return inner_.setAttributeValue(element, attribute, value);
  }
  platform::AXError performAction(const platform::AXElement& element,
                                  const std::string& action) override {
    return inner_.performAction(element, action);
  }

  long visits() const { return visits_; }
  LinuxAccessibility::Traffic traffic() const {
    return LinuxAccessibility::trafficOf(application_);
  }
  // The time of one request made alone: the application's role, asked count times in a row.
  double singleRequestMilliseconds(int count) {
    platform::AXValue value;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) inner_.copyAttributeValue(application_, "AXRole", value);
    return milliseconds(Clock::now() - start) / count;
  }

 private:
  LinuxAccessibility inner_;
  std::string visitAttribute_;
  long visits_ = 0;
  platform::AXElement application_;
};

struct Cost {
  std::vector<double> reads, requestsPerVisit, roundTripsPerVisit, floorsPerVisit;
  long visits = 0;
};

// Reads in this process, runs times, with the desktop's environment, and counts what it costs.
template <typename Read>
Cost measureCost(const Environment& environment, const std::string& visitAttribute, int runs,
                 Read read) {
  for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::unique_ptr<platform::PlatformBackend> backend = velmuro::linux_desktop::openLinuxPlatform();
  platform::Platform real = backend->platform();
  Cost cost;
  for (int run = 0; run < runs; ++run) {
    CountingAccessibility counting(visitAttribute);
    platform::Platform platform{real.audio,      real.privacy, counting,     real.workspace,
                                real.pasteboard, real.clock,   real.children};
    Clock::time_point start = Clock::now();
    read(platform);
    double took = milliseconds(Clock::now() - start);
    cost.reads.push_back(took);
    LinuxAccessibility::Traffic traffic = counting.traffic();
    double visits = static_cast<double>(counting.visits());
    cost.visits = counting.visits();
    cost.requestsPerVisit.push_back(static_cast<double>(traffic.requests) / visits);
    cost.roundTripsPerVisit.push_back(static_cast<double>(traffic.roundTrips) / visits);
    double single = counting.singleRequestMilliseconds(static_cast<int>(counting.visits()));
    cost.floorsPerVisit.push_back(took / (visits * single));
  }
  return cost;
}

void printCost(const char* what, const Cost& cost) {
  std::printf("  in process: the read                      %7.2f ms\n", median(cost.reads));
  std::printf("  %s, per visited node (%ld nodes):\n", what, cost.visits);
  std::printf("    AT-SPI requests                         %7.2f\n", median(cost.requestsPerVisit));
  std::printf("    round trips waited on                   %7.2f\n",
              median(cost.roundTripsPerVisit));
  std::printf("    time, in single requests made alone     %7.2f\n", median(cost.floorsPerVisit));
}

std::string pagesDirectory() {
  return std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/accessibility/pages";
}

void waitFor(const PageServer& server, const std::string& token) {
  if (!server.waitForReports(token, 1, 60s)) fail("the browser never loaded " + token);
}

void benchmarkTabs(const Environment& desktop, PageServer& server, int runs) {
  const std::string id = "org.velmuro.bench.tabs" + std::to_string(::getpid());
  std::string error;
  std::unique_ptr<Browser> browser =
      Browser::start(desktop, Browser::Kind::kChromium, id, true,
                     server.url("tab.html", "title=One&token=One"), &error);
  if (!browser) fail(error);
  waitFor(server, "One");
  if (!browser->waitUntilOnBus(30s)) fail("Chromium never joined the bus");
  for (const char* title : {"Two", "Three"}) {
    browser->openWindow(server.url("tab.html", std::string("title=") + title + "&token=" + title));
    waitFor(server, title);
  }
  browser->placeWindow("One", 0, 0, 420, 1000);
  browser->placeWindow("Two", 430, 0, 420, 1000);
  browser->placeWindow("Three", 860, 0, 420, 1000);
  std::this_thread::sleep_for(1s);

  auto [wake, firstLine] = timeTool(desktop, {"ax-tab-addresses", id});
  std::vector<double> reads;
  std::string line;
  for (int run = 0; run < runs; ++run) {
    auto [took, read] = timeTool(desktop, {"ax-tab-addresses", id});
    reads.push_back(took);
    line = read;
  }
  std::vector<double> launches;
  for (int run = 0; run < runs; ++run) {
    launches.push_back(timeTool(desktop, {"ax-tab-addresses", "org.velmuro.nothing"}).first);
  }
  Cost cost = measureCost(desktop, "AXRole", runs, [&](const platform::Platform& platform) {
    velmuro::accessibility::readTabAddresses(platform, id);
  });

  std::printf("\nTab read of Chromium with three windows, %d runs (medians)\n", runs);
  std::printf("  line: %s\n", line.c_str());
  std::printf("  launch -> line                            %7.2f ms\n", median(reads));
  std::printf("  first read (wakes the tree)               %7.2f ms\n", wake);
  std::printf("  launch -> \"not-running\" (start, bus, /proc) %5.2f ms\n", median(launches));
  printCost("the walk", cost);
}

void benchmarkTeams(const Environment& desktop, PageServer& server, int runs) {
  std::string error;
  std::unique_ptr<Browser> browser =
      Browser::start(desktop, Browser::Kind::kChromium, "teams-for-linux", true,
                     server.url("meeting.html", "variant=ok&token=bench"), &error);
  if (!browser) fail(error);
  waitFor(server, "bench");
  if (!browser->waitUntilOnBus(30s)) fail("Chromium never joined the bus");
  timeTool(desktop, {"ax-teams-join-link"});
  std::vector<double> reads;
  std::string line;
  for (int run = 0; run < runs; ++run) {
    auto [took, read] = timeTool(desktop, {"ax-teams-join-link"});
    reads.push_back(took);
    line = read;
  }
  Cost cost = measureCost(desktop, "AXDOMIdentifier", runs, [](const platform::Platform& platform) {
    velmuro::accessibility::readTeamsJoinLink(platform);
  });
  std::printf("\nTeams reader, \"ok\" path on the stand-in meeting page, %d runs (medians)\n",
              runs);
  std::printf("  line: %s\n", line.c_str());
  std::printf("  launch -> line                            %7.2f ms\n", median(reads));
  printCost("its searches", cost);
}

// The user's clipboard of the Zoom runs: 1 MiB of image data (by INCR) and a line of text.
std::unique_ptr<Process> copyMebibyte(const Environment& desktop,
                                      const velmuro::testing::TemporaryDirectory& directory) {
  std::string image = directory.path() + "/image";
  std::string bytes(1 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream(image, std::ios::binary) << bytes;
  std::string text = directory.path() + "/text";
  std::ofstream(text) << "notes for later";
  auto owner = std::make_unique<Process>(
      VELMURO_CLIPBOARD_BINARY,
      std::vector<std::string>{"own", "image/png=" + image, "UTF8_STRING=" + text}, desktop);
  if (owner->readLine(10s) != "owned") fail("the clipboard owner did not take the clipboard");
  return owner;
}

void benchmarkZoom(const Environment& desktop, int runs) {
  std::string error;
  std::optional<velmuro::testing::ApplicationScope> scope =
      velmuro::testing::ApplicationScope::create("zoom", &error);
  if (!scope) fail(error);
  velmuro::testing::TemporaryDirectory directory;
  const std::string menus = R"([{"title": "Meeting", "items": [{"title": "Copy Invite Link",
      "copies": ["https://example.zoom.us/j/8152?pwd=Ab9"]}]}])";
  Process window("/bin/sh",
                 velmuro::testing::commandInScope(
                     *scope, "/usr/bin/python3",
                     {std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/zoom/menu_app.py",
                      directory.path() + "/presses", menus}),
                 desktop);
  if (!velmuro::testing::runAtspiProbe(desktop,
                                       {"registered", std::to_string(window.pid()), "30000"})) {
    fail("the menu-bar window never joined the bus");
  }
  std::vector<double> reads, readBacks;
  std::string line;
  for (int run = 0; run < runs; ++run) {
    std::unique_ptr<Process> owner = copyMebibyte(desktop, directory);
    auto [took, read] = timeTool(desktop, {"ax-zoom-invite-link"});
    reads.push_back(took);
    line = read;
    // The given-back clipboard read whole by another client, from the serving process.
    Clock::time_point start = Clock::now();
    Process reader(VELMURO_CLIPBOARD_BINARY, {"read", directory.path()}, desktop);
    reader.closeInput();
    if (reader.wait(10s) != 0) fail("the clipboard was not given back");
    readBacks.push_back(milliseconds(Clock::now() - start));
  }
  std::printf(
      "\nZoom reader, \"ok\" path on the GTK menu-bar window, 1 MiB clipboard, %d runs (medians)\n",
      runs);
  std::printf("  line: %s\n", line.c_str());
  std::printf("  launch -> line (save, press, wait, restore) %5.2f ms\n", median(reads));
  std::printf("  a client reading the given-back clipboard %7.2f ms\n", median(readBacks));
  scope->killAll();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  if (runs < 1) fail("runs must be a positive number");
  std::string error;
  std::optional<PrivateDesktop> desktop =
      PrivateDesktop::start(PrivateDesktop::Accessibility::kOn, &error);
  if (!desktop) fail(error);
  PageServer server(pagesDirectory());
  if (server.port() == 0) fail("the page server could not start");
  benchmarkTabs(desktop->environment(), server, runs);
  benchmarkTeams(desktop->environment(), server, runs);
  benchmarkZoom(desktop->environment(), runs);
  // The figures follow the machine's load closely: every request waits for the browser's turn.
  std::ifstream load("/proc/loadavg");
  std::string average;
  load >> average;
  std::printf("\nload average at the end: %s\n", average.c_str());
  return 0;
}
