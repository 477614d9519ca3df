#include "platform/linux/desktop/browser.h"

#include <signal.h>

#include <fstream>
#include <thread>

namespace velmuro::testing {

namespace {

using namespace std::chrono_literals;

// Firefox's first run opens pages of its own (a privacy notice, the new-tab page) and asks to
// become the default browser; these preferences keep it to the page it is given.
constexpr const char* kFirefoxPreferences =
    R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.policy.dataSubmissionPolicyBypassNotification", true);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.startup.page", 0);
user_pref("network.captive-portal-service.enabled", false);
user_pref("app.update.auto", false);
)";

std::string probePath() {
  return std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/desktop/atspi_probe.py";
}

}  // namespace

bool runAtspiProbe(const Environment& desktop, const std::vector<std::string>& arguments) {
  std::vector<std::string> command{probePath()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runToEnd("/usr/bin/python3", command, desktop, 60s).second == 0;
}

std::unique_ptr<Browser> Browser::start(const Environment& desktop, Kind kind,
                                        const std::string& id, bool accessibility,
                                        const std::string& address, std::string* error) {
  std::optional<ApplicationScope> scope = ApplicationScope::create(id, error);
  if (!scope) return nullptr;
  std::unique_ptr<Browser> browser(new Browser(desktop, kind, std::move(*scope)));
  Environment environment = desktop;
  // Chromium leaves its singleton's folder in the temporary directory when it is killed.
  environment["TMPDIR"] = browser->profile_.path();
  if (accessibility) {
    environment["ACCESSIBILITY_ENABLED"] = "1";
    environment["GNOME_ACCESSIBILITY"] = "1";
  }
  std::string program;
  std::vector<std::string> arguments;
  if (kind == Kind::kChromium) {
    program = "/usr/bin/chromium";
    arguments = browser->chromiumArguments();
  } else {
    program = "/usr/bin/firefox-esr";
    std::ofstream(browser->profile_.path() + "/user.js") << kFirefoxPreferences;
    arguments = {"-profile", browser->profile_.path(), "-no-remote"};
  }
  arguments.push_back(address);
  browser->process_ = std::make_unique<Process>(
      "/bin/sh", commandInScope(browser->scope_, program, arguments), environment, true);
  if (browser->process_->pid() <= 0) {
    *error = program + " could not be started";
    return nullptr;
  }
  browser->desktop_ = environment;
  return browser;
}

Browser::~Browser() {
  // Every process of the browser is in its scope, zygotes and renderers included.
  resume();
  scope_.killAll();
  process_.reset();
}

std::vector<std::string> Browser::chromiumArguments() const {
  return {"--no-sandbox",
          "--disable-gpu",
          "--no-first-run",
          "--no-default-browser-check",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--password-store=basic",
          "--user-data-dir=" + profile_.path()};
}

bool Browser::waitUntilOnBus(std::chrono::milliseconds timeout) const {
  return runAtspiProbe(desktop_,
                       {"registered", std::to_string(pid()), std::to_string(timeout.count())});
}

bool Browser::openWindow(const std::string& address) {
  std::vector<std::string> arguments = chromiumArguments();
  arguments.push_back("--new-window");
  arguments.push_back(address);
  return kind_ == Kind::kChromium && runToEnd("/usr/bin/chromium", arguments, desktop_).second == 0;
}

bool Browser::openTab(const std::string& address) {
  std::vector<std::string> arguments = chromiumArguments();
  arguments.push_back(address);
  return kind_ == Kind::kChromium && runToEnd("/usr/bin/chromium", arguments, desktop_).second == 0;
}

std::optional<std::string> Browser::windowWithTitle(const std::string& title) const {
  // A search fails when a window it looks at goes meanwhile (BadWindow), as Chromium's
  // short-lived windows do: it is made again.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto [out, status] = runToEnd("/usr/bin/xdotool",
                                  {"search", "--onlyvisible", "--name", "^" + title}, desktop_, 5s);
    if (status == 0 && !out.empty()) return out.substr(0, out.find('\n'));
    std::this_thread::sleep_for(100ms);
  }
  return std::nullopt;
}

bool Browser::placeWindow(const std::string& title, int x, int y, int width, int height) {
  std::optional<std::string> window = windowWithTitle(title);
  if (!window) return false;
  return runToEnd("/usr/bin/xdotool",
                  {"windowsize", "--sync", *window, std::to_string(width), std::to_string(height),
                   "windowmove", "--sync", *window, std::to_string(x), std::to_string(y)},
                  desktop_)
             .second == 0;
}

bool Browser::typeIntoAddressBar(const std::string& title, const std::string& text) {
  std::optional<std::string> window = windowWithTitle(title);
  if (!window) return false;
  return runToEnd(
             "/usr/bin/xdotool",
             {"windowfocus", "--sync", *window, "key", "--clearmodifiers", "ctrl+l", "type",
              "--delay", "5", text, "mousemove", "--window", *window, "300", "600", "click", "1"},
             desktop_)
             .second == 0;
}

void Browser::pause() {
  for (int pid : scope_.processes()) ::kill(pid, SIGSTOP);
}

void Browser::resume() {
  for (int pid : scope_.processes()) ::kill(pid, SIGCONT);
}

}  // namespace velmuro::testing
