#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/desktop/application_scope.h"
#include "platform/linux/test_process.h"

namespace velmuro::testing {

// One node of a fake application's tree (fake_application.py): an AT-SPI role, and what its
// requests answer.
struct FakeNode {
  int role = 39;  // panel
  std::string text;
  std::string uri;
  std::map<std::string, std::string> attributes;
  std::map<std::string, std::string> document;
  std::vector<FakeNode> children;
};

// AT-SPI role numbers the tests use.
inline constexpr int kRoleFrame = 23;
inline constexpr int kRoleEntry = 79;
inline constexpr int kRoleDocumentWeb = 95;
inline constexpr int kRolePanel = 39;

// An entry holding the text; a node of web content with a DOM id (and the tag that says so).
FakeNode entry(const std::string& text);
FakeNode withDOMIdentifier(const std::string& id, FakeNode node = {});

// How a fake application misbehaves.
struct Misbehaviour {
  std::optional<int> exitAfter;  // ends as this request of the tool arrives
  std::optional<int> hangAfter;  // answers nothing from this request on
  bool illFormedDirect = false;  // its own connection answers with text that is not UTF-8
};

// The fake application, running in an application scope as the ID on the desktop.
class FakeApplication {
 public:
  // Starts it and waits until it serves its tree on the bus; absent, with the reason, otherwise.
  static std::unique_ptr<FakeApplication> start(const Environment& desktop, const std::string& id,
                                                const std::vector<FakeNode>& windows,
                                                const Misbehaviour& misbehaviour,
                                                std::string* error);
  ~FakeApplication();

  // True while the process runs.
  bool running() const;

 private:
  FakeApplication(ApplicationScope scope) : scope_(std::move(scope)) {}
  ApplicationScope scope_;
  TemporaryDirectory directory_;
  std::unique_ptr<Process> process_;
};

}  // namespace velmuro::testing
