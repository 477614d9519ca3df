#include "platform/linux/accessibility/fake_application.h"

#include <fstream>
#include <sstream>

#include "platform/linux/desktop/browser.h"

namespace velmuro::testing {

namespace {

using namespace std::chrono_literals;

void writeText(std::ostream& out, const std::string& text) {
  out << '"';
  for (char c : text) {
    if (c == '"' || c == '\\') out << '\\';
    out << c;
  }
  out << '"';
}

void writeMap(std::ostream& out, const std::map<std::string, std::string>& values) {
  out << '{';
  const char* separator = "";
  for (const auto& [name, value] : values) {
    out << separator;
    writeText(out, name);
    out << ':';
    writeText(out, value);
    separator = ",";
  }
  out << '}';
}

void writeNode(std::ostream& out, const FakeNode& node) {
  out << "{\"role\":" << node.role;
  if (!node.text.empty()) out << ",\"text\":", writeText(out, node.text);
  if (!node.uri.empty()) out << ",\"uri\":", writeText(out, node.uri);
  if (!node.attributes.empty()) out << ",\"attributes\":", writeMap(out, node.attributes);
  if (!node.document.empty()) out << ",\"document\":", writeMap(out, node.document);
  if (!node.children.empty()) {
    out << ",\"children\":[";
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      if (i > 0) out << ',';
      writeNode(out, node.children[i]);
    }
    out << ']';
  }
  out << '}';
}

}  // namespace

FakeNode entry(const std::string& text) {
  FakeNode node;
  node.role = kRoleEntry;
  node.text = text;
  return node;
}

FakeNode withDOMIdentifier(const std::string& id, FakeNode node) {
  node.attributes["id"] = id;
  node.attributes["tag"] = "div";
  return node;
}

std::unique_ptr<FakeApplication> FakeApplication::start(const Environment& desktop,
                                                        const std::string& id,
                                                        const std::vector<FakeNode>& windows,
                                                        const Misbehaviour& misbehaviour,
                                                        std::string* error) {
  std::optional<ApplicationScope> scope = ApplicationScope::create(id, error);
  if (!scope) return nullptr;
  std::unique_ptr<FakeApplication> application(new FakeApplication(std::move(*scope)));
  std::string description = application->directory_.path() + "/description.json";
  {
    std::ofstream out(description);
    out << "{\"windows\":[";
    for (std::size_t i = 0; i < windows.size(); ++i) {
      if (i > 0) out << ',';
      writeNode(out, windows[i]);
    }
    out << ']';
    if (misbehaviour.exitAfter) out << ",\"exitAfter\":" << *misbehaviour.exitAfter;
    if (misbehaviour.hangAfter) out << ",\"hangAfter\":" << *misbehaviour.hangAfter;
    if (misbehaviour.illFormedDirect) {
      out << ",\"illFormedDirect\":";
      writeText(out, application->directory_.path());
    }
    out << '}';
  }
  std::string script =
      std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/accessibility/fake_application.py";
  // Its complaints, if any, go to a file for the test's message.
  std::string errors = application->directory_.path() + "/errors";
  application->process_ = std::make_unique<Process>(
      "/bin/sh",
      commandInScope(
          application->scope_, "/bin/sh",
          {"-c", "exec /usr/bin/python3 \"$0\" \"$1\" 2>\"$2\"", script, description, errors}),
      desktop, true);
  if (!runAtspiProbe(desktop,
                     {"registered", std::to_string(application->process_->pid()), "60000"})) {
    std::ifstream file(errors);
    std::ostringstream text;
    text << file.rdbuf();
    *error = "the fake application never joined the accessibility bus: " + text.str();
    return nullptr;
  }
  return application;
}

FakeApplication::~FakeApplication() {
  scope_.killAll();
  process_.reset();
}

bool FakeApplication::running() const { return isAlive(process_->pid()); }

}  // namespace velmuro::testing
