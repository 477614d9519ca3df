#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "platform/accessibility_api.h"
#include "platform/clock.h"
#include "platform/pasteboard.h"

namespace velmuro::sim {

using Micros = std::chrono::microseconds;

// A reference to a node of an accessibility tree by its id.
struct NodeRef {
  std::string id;
  bool operator==(const NodeRef&) const = default;
};

// An attribute value as a world states it; element values name nodes by id.
using DesktopValue =
    std::variant<std::monostate, platform::AXText, platform::AXURL, platform::AXNumber, bool,
                 NodeRef, std::vector<NodeRef>, platform::AXOther>;

// Shorthands for building values in C++.
DesktopValue text(std::string value);
DesktopValue url(std::string absoluteString);
DesktopValue number(double value);
DesktopValue element(std::string id);
DesktopValue elements(std::vector<std::string> ids);
DesktopValue other();

// A read of one attribute that fails: the error, and a value handed over with it anyway.
struct AttributeFailure {
  platform::AXError error = platform::kAXErrorFailure;
  std::optional<DesktopValue> valueWithError;
};

// One type of a pasteboard item; absent data means the type is listed but gives nothing.
struct PasteboardEntry {
  std::string type;
  std::optional<platform::Bytes> data;
  bool operator==(const PasteboardEntry&) const = default;
};
using PasteboardItemData = std::vector<PasteboardEntry>;

// A pasteboard item holding one plain-text string.
PasteboardItemData plainTextItem(std::string_view text);

struct NodeTemplate;

// One change the desktop makes on its own, after a delay.
struct Effect {
  enum class Kind { kAdd, kRemove, kSet, kWritePasteboard };
  Kind kind = Kind::kSet;
  // From the trigger for a reaction; from the start of the run for the timeline.
  Micros delay{0};
  // kAdd: the parent; kRemove and kSet: the node itself.
  std::string node;
  // kAdd: the position among the parent's children; the end when absent.
  std::optional<std::size_t> index;
  // kAdd: the subtrees to add.
  std::vector<NodeTemplate> nodes;
  // kSet: the attribute and its new value.
  std::string attribute;
  DesktopValue value;
  // kWritePasteboard: what another process clears the pasteboard for and writes.
  std::vector<PasteboardItemData> items;
};

// Effect builders.
Effect addNodes(std::string parent, std::vector<NodeTemplate> nodes, Micros delay = Micros{0});
Effect removeNode(std::string id, Micros delay = Micros{0});
Effect setValue(std::string id, std::string attribute, DesktopValue value,
                Micros delay = Micros{0});
Effect writePasteboard(std::vector<PasteboardItemData> items, Micros delay = Micros{0});

// Effects that follow an action performed on a node, or an attribute set on it.
struct Reaction {
  // The action that triggers it ("AXPress"); empty when an attribute set triggers it.
  std::string action;
  // The attribute whose setting triggers it, and the value it must be set to, if any.
  std::string setAttribute;
  std::optional<bool> setValue;
  // Fires only on this occurrence of the trigger (1 = the first); on every one when absent.
  std::optional<int> nth;
  std::vector<Effect> effects;
};

// A node of an accessibility tree with its subtree: the template the desktop instantiates.
// Copying and destroying one take no stack per level, so a test may build trees of any depth.
struct NodeTemplate {
  NodeTemplate() = default;
  explicit NodeTemplate(std::string nodeId) : id(std::move(nodeId)) {}
  NodeTemplate(const NodeTemplate& other);
  NodeTemplate(NodeTemplate&& other) noexcept = default;
  NodeTemplate& operator=(const NodeTemplate& other);
  NodeTemplate& operator=(NodeTemplate&& other) noexcept = default;
  ~NodeTemplate();

  // Unique among the nodes present at one time; the desktop names nodes without one "#<n>".
  std::string id;
  std::vector<std::pair<std::string, DesktopValue>> attributes;
  std::vector<std::pair<std::string, AttributeFailure>> failures;
  std::vector<std::pair<std::string, platform::AXError>> setFailures;
  // Results of actions; an action not listed succeeds.
  std::vector<std::pair<std::string, platform::AXError>> actionResults;
  // How long a request to this node takes, instead of the application's latency.
  std::optional<Micros> latency;
  // How long an action on this node takes (a press that opens a menu can block), if different.
  std::optional<Micros> actionLatency;
  std::vector<Reaction> reactions;
  std::vector<NodeTemplate> children;

  // Builders, each returning the node.
  NodeTemplate& set(std::string attribute, DesktopValue value);
  NodeTemplate& role(std::string value) { return set("AXRole", text(std::move(value))); }
  NodeTemplate& subrole(std::string value) { return set("AXSubrole", text(std::move(value))); }
  NodeTemplate& title(std::string value) { return set("AXTitle", text(std::move(value))); }
  NodeTemplate& domId(std::string value) { return set("AXDOMIdentifier", text(std::move(value))); }
  NodeTemplate& fail(std::string attribute, platform::AXError error,
                     std::optional<DesktopValue> valueWithError = std::nullopt);
  NodeTemplate& failSet(std::string attribute, platform::AXError error);
  NodeTemplate& actionResult(std::string action, platform::AXError result);
  NodeTemplate& onPress(std::vector<Effect> effects, std::optional<int> nth = std::nullopt);
  NodeTemplate& onSet(std::string attribute, std::optional<bool> value,
                      std::vector<Effect> effects);
  NodeTemplate& add(NodeTemplate child);

 private:
  // Everything but the children.
  NodeTemplate copyWithoutChildren() const;
};

// A running application: its process and its application element with the tree below it
// (the menu bar and the windows are children of the application element).
struct ApplicationTemplate {
  std::string bundleId;
  pid_t pid = 0;
  // How long each accessibility request takes; the application answers one request at a time,
  // in the order they come. A hung application never answers.
  Micros latency{0};
  bool hung = false;
  NodeTemplate root;
};

// An application element of role "AXApplication" holding a menu bar (when given) and windows.
NodeTemplate applicationNode(std::string id, std::optional<NodeTemplate> menuBar,
                             std::vector<NodeTemplate> windows);

// The platform's messaging timeout before anyone sets one.
inline constexpr Micros kDefaultMessagingTimeout{6'000'000};

// The desktop side of a simulated world: running applications, their accessibility trees,
// the trust flag, the pasteboard and the changes scheduled on the virtual clock. Every operation
// takes time in proportion to what it touches and no stack per level of a tree.
struct DesktopModel {
  // One live node of a tree.
  struct Node {
    std::string id;
    pid_t pid = 0;
    int parent = -1;
    // In order; a child removed since the list was last tidied is still listed, not present.
    std::vector<int> children;
    int removedChildren = 0;
    bool present = true;
    std::vector<std::pair<std::string, DesktopValue>> attributes;
    std::vector<std::pair<std::string, AttributeFailure>> failures;
    std::vector<std::pair<std::string, platform::AXError>> setFailures;
    std::vector<std::pair<std::string, platform::AXError>> actionResults;
    std::optional<Micros> latency;
    std::optional<Micros> actionLatency;
    std::optional<Micros> messagingTimeout;
    // Shared with the other nodes made from the same template.
    std::shared_ptr<const std::vector<Reaction>> reactions;
    // How often each action was performed and each attribute set: "press:AXPress", "set:AX...".
    std::map<std::string, int> triggerCounts;
  };

  struct Application {
    std::string bundleId;
    pid_t pid = 0;
    Micros latency{0};
    bool hung = false;
    int root = -1;
    // When it has answered every request sent to it so far.
    platform::WallTime freeAt{};
  };

  bool trusted = false;
  std::vector<Application> applications;
  std::vector<Node> nodes;
  std::vector<PasteboardItemData> pasteboard;
  std::int64_t changeCount = 0;
  // Moves on every clear, so handles to earlier items give nothing.
  std::uint64_t pasteboardGeneration = 0;
  // The timeout set on the system-wide element, if any.
  std::optional<Micros> messagingTimeout;

  // Adds a running application; applications are listed in the order they were added.
  void addApplication(ApplicationTemplate blueprint);
  // Schedules an effect at its delay after the start of the run.
  void schedule(Effect effect);
  // Fixes the start of the run (once) and turns the timeline into due times.
  void start(platform::WallTime now);
  bool started() const { return origin_.has_value(); }

  // The present node with this id, or -1.
  int findNode(std::string_view id) const;
  // The node's value of the attribute as last stated or set, if it has one.
  std::optional<DesktopValue> attributeOf(std::string_view id, std::string_view attribute) const;

  // The first application added with this PID (by addApplication), or null.
  Application* application(pid_t pid);

  // Applies every scheduled effect that is due by now, in order of due time.
  void applyDue(platform::WallTime now);
  // Performs an action on the node as the application does: the node's stated result, and when
  // that is success, the action is counted and its reactions run.
  platform::AXError perform(int node, const std::string& action, platform::WallTime now);
  // Sets a Boolean attribute as the application does: the node's stated failure, or the value is
  // stored, the setting counted and its reactions run.
  platform::AXError setBoolean(int node, const std::string& attribute, bool value,
                               platform::WallTime now);
  // The same, carried out at a later time: a request the caller stopped waiting for.
  void performLater(int node, std::string action, platform::WallTime at);
  void setBooleanLater(int node, std::string attribute, bool value, platform::WallTime at);
  // Another process clears the pasteboard and writes these items.
  void replacePasteboard(std::vector<PasteboardItemData> items);
  // Sets a node attribute and notes the change for the final state.
  void setAttribute(int node, const std::string& attribute, DesktopValue value);

  // Element handles currently held by anyone.
  long liveElementHandles() const { return *liveHandles_; }
  const std::shared_ptr<long>& handleCounter() const { return liveHandles_; }

  // What the final state reports besides the pasteboard.
  std::vector<std::pair<int, std::string>> changedAttributes;
  // The roots of the subtrees added and removed, in order.
  std::vector<std::string> addedNodes;
  std::vector<std::string> removedNodes;

 private:
  // A write request the application carries out late; an empty action means a set.
  struct LateWrite {
    int node = -1;
    std::string action;
    std::string attribute;
    bool value = false;
  };
  // Held by pointer, so that keeping the heap in order moves no effects.
  struct Pending {
    platform::WallTime due;
    std::uint64_t sequence = 0;
    std::unique_ptr<std::variant<Effect, LateWrite>> what;
  };
  // Orders the heap of pending changes: the earliest due first, then the first scheduled.
  struct LaterFirst {
    bool operator()(const Pending& a, const Pending& b) const {
      return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
    }
  };

  // Makes live nodes of the template's tree; the index of its root.
  int instantiate(const NodeTemplate& blueprint, pid_t pid, int parent);
  // One live node of the template, without its children.
  int makeNode(const NodeTemplate& blueprint, pid_t pid, int parent);
  void apply(const Effect& effect);
  // Applies the effects without a delay now and schedules the others from now.
  void fire(const std::vector<Effect>& effects, platform::WallTime now);
  void removeSubtree(int node);
  // Drops the removed children from the node's list.
  void tidyChildren(int node);
  // Schedules a change at its due time.
  void push(platform::WallTime due, std::variant<Effect, LateWrite> what);
  // Counts the action on the node and runs its reactions.
  void performed(int node, const std::string& action, platform::WallTime now);
  // Sets the attribute, counts the setting and runs its reactions.
  void attributeSet(int node, const std::string& attribute, bool value, platform::WallTime now);

  std::map<std::string, int, std::less<>> byId_;
  std::unordered_map<pid_t, std::size_t> applicationByPid_;
  std::set<std::pair<int, std::string>> changed_;
  std::vector<Effect> timeline_;
  // A heap under LaterFirst.
  std::vector<Pending> pending_;
  std::uint64_t nextSequence_ = 0;
  std::optional<platform::WallTime> origin_;
  std::shared_ptr<long> liveHandles_ = std::make_shared<long>(0);
};

}  // namespace velmuro::sim
