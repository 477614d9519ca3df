#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/desktop/private_desktop.h"
#include "platform/linux/test_process.h"

namespace velmuro::testing {

// One target as a paste reads it.
struct PastedTarget {
  std::string type;
  int format = 0;
  std::string bytes;
  bool incr = false;

  bool operator==(const PastedTarget&) const = default;
};

// The clipboard as velmuro-clipboard read finds it.
struct PastedClipboard {
  int status = -1;                           // 0, 1 without an owner
  std::vector<std::string> targets;          // as TARGETS lists them
  std::map<std::string, PastedTarget> data;  // every target read, TIMESTAMP included
  std::vector<std::string> refused;
};

// A private X server for one test, named in this process's DISPLAY too so that
// the pasteboard under test reaches it, with the tests' clipboard client and files at hand.
class ClipboardTest : public ::testing::Test {
 protected:
  // The desktop without accessibility, or with it for tests that read applications too.
  explicit ClipboardTest(
      PrivateDesktop::Accessibility accessibility = PrivateDesktop::Accessibility::kAbsent)
      : accessibility_(accessibility) {}
  void SetUp() override;

  const Environment& environment() const { return desktop_->environment(); }
  // Writes a file in the test's directory; its path.
  std::string writeFile(const std::string& name, const std::string& bytes);
  // velmuro-clipboard own with these arguments, once it says it owns the CLIPBOARD.
  std::unique_ptr<Process> startOwner(const std::vector<std::string>& arguments);
  // xclip serving the file as its one target, once it owns the CLIPBOARD.
  std::unique_ptr<Process> copyWithXclip(const std::string& target, const std::string& path);
  // Reads the CLIPBOARD with velmuro-clipboard read, or read-multiple.
  PastedClipboard paste(bool multiple = false);
  // The PID that the owner's window names; absent without an owner or such a property.
  std::optional<pid_t> servingProcess();
  // The X server's PID.
  pid_t xServer() const;
  // Stops the desktop now.
  void stopDesktop() { desktop_.reset(); }

  TemporaryDirectory directory_;

 private:
  PrivateDesktop::Accessibility accessibility_;
  std::optional<PrivateDesktop> desktop_;
  int pastes_ = 0;
};

// True when the condition holds within the timeout, looked at every 5 ms.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(2));

// Bytes that are not text and do not repeat with a short period.
std::string binaryBytes(std::size_t size);

}  // namespace velmuro::testing
