#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/desktop/application_scope.h"
#include "platform/linux/test_process.h"

namespace velmuro::testing {

// A real browser from Debian's packages on a private desktop, with a fresh profile, started in an
// application scope of its own so that it runs as the desktop-entry ID the test gives it.
class Browser {
 public:
  enum class Kind { kChromium, kFirefox };

  // Starts the browser showing the address in one window, with accessibility on from its start
  // (ACCESSIBILITY_ENABLED=1, GNOME_ACCESSIBILITY=1) or not; absent, with the reason in *error,
  // when it can't be started.
  static std::unique_ptr<Browser> start(const Environment& desktop, Kind kind,
                                        const std::string& id, bool accessibility,
                                        const std::string& address, std::string* error);
  ~Browser();

  // The browser process: the oldest process of its scope.
  pid_t pid() const { return process_->pid(); }
  // Waits until the browser serves its application on the accessibility bus.
  bool waitUntilOnBus(std::chrono::milliseconds timeout) const;
  // Chromium: shows the address in a new window, or in a new tab of the last active window.
  bool openWindow(const std::string& address);
  bool openTab(const std::string& address);
  // Places the window whose title begins with this text (xdotool, no window manager).
  bool placeWindow(const std::string& title, int x, int y, int width, int height);
  // Types into the window whose title begins with this text: Ctrl+L, the text, then a click into
  // the page, so that the address bar keeps the typed text with its popup closed.
  bool typeIntoAddressBar(const std::string& title, const std::string& text);
  // Stops or resumes every process of the browser (SIGSTOP, SIGCONT).
  void pause();
  void resume();

 private:
  Browser(const Environment& desktop, Kind kind, ApplicationScope scope)
      : desktop_(desktop), kind_(kind), scope_(std::move(scope)) {}
  std::vector<std::string> chromiumArguments() const;
  std::optional<std::string> windowWithTitle(const std::string& title) const;

  Environment desktop_;
  Kind kind_;
  ApplicationScope scope_;
  TemporaryDirectory profile_;
  std::unique_ptr<Process> process_;
};

// Runs scripts' helper tests/platform/linux/desktop/atspi_probe.py with these arguments on the
// desktop; true when it exits 0.
bool runAtspiProbe(const Environment& desktop, const std::vector<std::string>& arguments);

}  // namespace velmuro::testing
