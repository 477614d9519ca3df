#include "platform/sim/sim_desktop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/sim/named_pairs.h"
#include "platform/sim/world.h"
#include "text/utf8.h"

namespace velmuro::sim {

namespace {

using platform::AXElement;
using platform::AXError;

// What an element handle of the simulated desktop points at.
struct ElementRef {
  enum class Kind { kNode, kSystemWide, kUnknownApplication };
  Kind kind = Kind::kNode;
  int node = -1;
  pid_t pid = 0;
  std::shared_ptr<long> liveHandles;

  ElementRef(Kind k, int n, pid_t p, std::shared_ptr<long> counter)
      : kind(k), node(n), pid(p), liveHandles(std::move(counter)) {
    ++*liveHandles;
  }
  ~ElementRef() { --*liveHandles; }
  ElementRef(const ElementRef&) = delete;
  ElementRef& operator=(const ElementRef&) = delete;
};

AXElement makeHandle(DesktopModel& model, ElementRef::Kind kind, int node, pid_t pid = 0) {
  return AXElement(std::make_shared<const ElementRef>(kind, node, pid, model.handleCounter()));
}

const ElementRef* refOf(const AXElement& element) {
  return static_cast<const ElementRef*>(element.get());
}

// How the log names an element.
json::Value nameOf(const DesktopModel& model, const AXElement& element) {
  const ElementRef* ref = refOf(element);
  if (!ref) return nullptr;
  switch (ref->kind) {
    case ElementRef::Kind::kSystemWide:
      return "systemWide";
    case ElementRef::Kind::kUnknownApplication:
      return "app?" + std::to_string(ref->pid);
    case ElementRef::Kind::kNode:
      break;
  }
  if (ref->node < 0) return "missing";
  return model.nodes[ref->node].id;
}

// What a request to an element asks of the application.
enum class Request { kRead, kSet, kAction };

// The node of a request that can be served, or the error the request gets. The application
// answers one request at a time: the request waits until the application is free, then takes its
// latency. When that is more than the messaging timeout, the caller waits the timeout and gets
// kAXErrorCannotComplete, while the application still gets to the request later; a write is then
// carried out at that time (the caller passes it in as `late`).
AXError reachNode(World& world, const AXElement& element, Request request, int& node,
                  const std::function<void(int node, platform::WallTime at)>& late = {}) {
  DesktopModel& model = world.desktop;
  const ElementRef* ref = refOf(element);
  model.applyDue(world.clock.now());
  if (!ref) return platform::kAXErrorIllegalArgument;
  if (!model.trusted) return platform::kAXErrorAPIDisabled;
  if (ref->kind == ElementRef::Kind::kSystemWide) return platform::kAXErrorAttributeUnsupported;
  if (ref->kind == ElementRef::Kind::kUnknownApplication || ref->node < 0) {
    return platform::kAXErrorInvalidUIElement;
  }
  // Effects that fall due may add nodes, so no reference into the node list is kept across them.
  const DesktopModel::Node& target = model.nodes[ref->node];
  DesktopModel::Application* app = model.application(target.pid);
  Micros timeout =
      target.messagingTimeout.value_or(model.messagingTimeout.value_or(kDefaultMessagingTimeout));
  Micros latency = target.latency.value_or(app ? app->latency : Micros{0});
  if (request == Request::kAction && target.actionLatency) latency = *target.actionLatency;
  platform::WallTime now = world.clock.now();
  if (app && app->hung) {
    world.clock.advance(timeout);
    model.applyDue(world.clock.now());
    return platform::kAXErrorCannotComplete;
  }
  platform::WallTime answered = std::max(now, app ? app->freeAt : now) + latency;
  if (app) app->freeAt = answered;
  if (answered - now > timeout) {
    if (late) late(ref->node, answered);
    world.clock.advance(timeout);
    model.applyDue(world.clock.now());
    return platform::kAXErrorCannotComplete;
  }
  if (answered > now) {
    world.clock.set(answered);
    model.applyDue(answered);
  }
  if (!model.nodes[ref->node].present) return platform::kAXErrorInvalidUIElement;
  node = ref->node;
  return platform::kAXErrorSuccess;
}

platform::AXValue toAXValue(DesktopModel& model, const DesktopValue& value) {
  struct Visitor {
    DesktopModel& model;
    AXElement handleFor(const NodeRef& ref) const {
      return makeHandle(model, ElementRef::Kind::kNode, model.findNode(ref.id));
    }
    platform::AXValue operator()(std::monostate) const { return std::monostate{}; }
    platform::AXValue operator()(const platform::AXText& v) const { return v; }
    platform::AXValue operator()(const platform::AXURL& v) const { return v; }
    platform::AXValue operator()(const platform::AXNumber& v) const { return v; }
    platform::AXValue operator()(bool v) const { return v; }
    platform::AXValue operator()(const NodeRef& v) const { return handleFor(v); }
    platform::AXValue operator()(const std::vector<NodeRef>& v) const {
      std::vector<AXElement> list;
      for (const NodeRef& ref : v) list.push_back(handleFor(ref));
      return list;
    }
    platform::AXValue operator()(const platform::AXOther& v) const { return v; }
  };
  return std::visit(Visitor{model}, value);
}

bool hasRole(const DesktopModel::Node& node, std::string_view role) {
  const DesktopValue* value = findPair(node.attributes, "AXRole");
  const auto* textValue = value ? std::get_if<platform::AXText>(value) : nullptr;
  return textValue && textValue->text == role;
}

// Attributes that follow from the tree when the node does not state them.
AXError derivedAttribute(DesktopModel& model, int index, const std::string& attribute,
                         platform::AXValue& out) {
  const DesktopModel::Node& node = model.nodes[index];
  bool isApplication = node.parent < 0;
  if (attribute == "AXChildren") {
    std::vector<AXElement> children;
    children.reserve(node.children.size());
    for (int child : node.children) {
      if (model.nodes[child].present) {
        children.push_back(makeHandle(model, ElementRef::Kind::kNode, child));
      }
    }
    out = std::move(children);
    return platform::kAXErrorSuccess;
  }
  if (attribute == "AXParent") {
    if (node.parent < 0) return platform::kAXErrorNoValue;
    out = makeHandle(model, ElementRef::Kind::kNode, node.parent);
    return platform::kAXErrorSuccess;
  }
  if (isApplication && attribute == "AXWindows") {
    std::vector<AXElement> windows;
    for (int child : node.children) {
      if (model.nodes[child].present && hasRole(model.nodes[child], "AXWindow")) {
        windows.push_back(makeHandle(model, ElementRef::Kind::kNode, child));
      }
    }
    out = std::move(windows);
    return platform::kAXErrorSuccess;
  }
  if (isApplication && attribute == "AXMenuBar") {
    for (int child : node.children) {
      if (model.nodes[child].present && hasRole(model.nodes[child], "AXMenuBar")) {
        out = makeHandle(model, ElementRef::Kind::kNode, child);
        return platform::kAXErrorSuccess;
      }
    }
    return platform::kAXErrorNoValue;
  }
  return platform::kAXErrorAttributeUnsupported;
}

}  // namespace

// ---- Accessibility ----

SimAccessibility::SimAccessibility(World& world) : world_(world) {
  world_.desktop.start(world_.clock.now());
}

bool SimAccessibility::isProcessTrusted() {
  world_.desktop.applyDue(world_.clock.now());
  bool trusted = world_.desktop.trusted;
  world_.log.record("AXIsProcessTrusted", {}, trusted);
  return trusted;
}

AXElement SimAccessibility::createApplication(pid_t pid) {
  DesktopModel& model = world_.desktop;
  const DesktopModel::Application* app = model.application(pid);
  AXElement element = app ? makeHandle(model, ElementRef::Kind::kNode, app->root)
                          : makeHandle(model, ElementRef::Kind::kUnknownApplication, -1, pid);
  world_.log.record("AXUIElementCreateApplication", json::Object{{"pid", std::int64_t{pid}}},
                    nameOf(model, element));
  return element;
}

AXElement SimAccessibility::createSystemWide() {
  AXElement element = makeHandle(world_.desktop, ElementRef::Kind::kSystemWide, -1);
  world_.log.record("AXUIElementCreateSystemWide", {}, "systemWide");
  return element;
}

AXError SimAccessibility::setMessagingTimeout(const AXElement& element, float seconds) {
  DesktopModel& model = world_.desktop;
  const ElementRef* ref = refOf(element);
  AXError result = platform::kAXErrorSuccess;
  if (!ref || !(seconds >= 0.0f) || ref->kind == ElementRef::Kind::kUnknownApplication ||
      (ref->kind == ElementRef::Kind::kNode && ref->node < 0)) {
    result = platform::kAXErrorIllegalArgument;
  } else {
    // Zero goes back to the platform's default.
    std::optional<Micros> timeout;
    if (seconds > 0.0f) timeout = Micros(std::llround(static_cast<double>(seconds) * 1e6));
    if (ref->kind == ElementRef::Kind::kSystemWide) {
      model.messagingTimeout = timeout;
    } else {
      model.nodes[ref->node].messagingTimeout = timeout;
    }
  }
  world_.log.record(
      "AXUIElementSetMessagingTimeout",
      json::Object{{"element", nameOf(model, element)}, {"seconds", static_cast<double>(seconds)}},
      result);
  return result;
}

AXError SimAccessibility::copyAttributeValue(const AXElement& element, const std::string& attribute,
                                             platform::AXValue& outValue) {
  DesktopModel& model = world_.desktop;
  std::chrono::microseconds began = world_.log.now();
  int node = -1;
  AXError result = reachNode(world_, element, Request::kRead, node);
  if (result == platform::kAXErrorSuccess) {
    const DesktopModel::Node& target = model.nodes[node];
    if (const AttributeFailure* failure = findPair(target.failures, attribute)) {
      result = failure->error;
      if (failure->valueWithError) outValue = toAXValue(model, *failure->valueWithError);
    } else if (const DesktopValue* value = findPair(target.attributes, attribute)) {
      outValue = toAXValue(model, *value);
    } else {
      result = derivedAttribute(model, node, attribute, outValue);
    }
  }
  world_.log.record("AXUIElementCopyAttributeValue",
                    json::Object{{"element", nameOf(model, element)}, {"attribute", attribute}},
                    result, began);
  return result;
}

AXError SimAccessibility::setAttributeValue(const AXElement& element, const std::string& attribute,
                                            bool value) {
  DesktopModel& model = world_.desktop;
  std::chrono::microseconds began = world_.log.now();
  int node = -1;
  AXError result = reachNode(
      world_, element, Request::kSet, node,
      [&](int late, platform::WallTime at) { model.setBooleanLater(late, attribute, value, at); });
  if (result == platform::kAXErrorSuccess) {
    result = model.setBoolean(node, attribute, value, world_.clock.now());
  }
  world_.log.record(
      "AXUIElementSetAttributeValue",
      json::Object{{"element", nameOf(model, element)}, {"attribute", attribute}, {"value", value}},
      result, began);
  return result;
}

AXError SimAccessibility::performAction(const AXElement& element, const std::string& action) {
  DesktopModel& model = world_.desktop;
  std::chrono::microseconds began = world_.log.now();
  int node = -1;
  AXError result =
      reachNode(world_, element, Request::kAction, node,
                [&](int late, platform::WallTime at) { model.performLater(late, action, at); });
  if (result == platform::kAXErrorSuccess) result = model.perform(node, action, world_.clock.now());
  world_.log.record("AXUIElementPerformAction",
                    json::Object{{"element", nameOf(model, element)}, {"action", action}}, result,
                    began);
  return result;
}

// ---- Workspace ----

SimWorkspace::SimWorkspace(World& world) : world_(world) {
  world_.desktop.start(world_.clock.now());
}

std::vector<pid_t> SimWorkspace::runningApplications(const std::string& bundleId) {
  world_.desktop.applyDue(world_.clock.now());
  std::vector<pid_t> pids;
  json::Array logged;
  for (const DesktopModel::Application& app : world_.desktop.applications) {
    if (app.bundleId != bundleId) continue;
    pids.push_back(app.pid);
    logged.emplace_back(std::int64_t{app.pid});
  }
  world_.log.record("runningApplicationsWithBundleIdentifier", json::Object{{"bundleId", bundleId}},
                    std::move(logged));
  return pids;
}

// ---- Pasteboard ----

namespace {

// What a pasteboard item handle points at: one item of one generation of the pasteboard.
struct ItemRef {
  std::uint64_t generation = 0;
  std::size_t index = 0;
};

const PasteboardItemData* itemOf(const DesktopModel& model, const platform::PasteboardItem& item) {
  const auto* ref = static_cast<const ItemRef*>(item.get());
  if (!ref || ref->generation != model.pasteboardGeneration ||
      ref->index >= model.pasteboard.size()) {
    return nullptr;
  }
  return &model.pasteboard[ref->index];
}

json::Value itemIndex(const platform::PasteboardItem& item) {
  const auto* ref = static_cast<const ItemRef*>(item.get());
  if (!ref) return nullptr;
  return static_cast<std::int64_t>(ref->index);
}

}  // namespace

SimPasteboard::SimPasteboard(World& world) : world_(world) {
  world_.desktop.start(world_.clock.now());
}

std::vector<platform::PasteboardItem> SimPasteboard::items() {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  std::vector<platform::PasteboardItem> items;
  for (std::size_t i = 0; i < model.pasteboard.size(); ++i) {
    items.emplace_back(std::make_shared<const ItemRef>(ItemRef{model.pasteboardGeneration, i}));
  }
  world_.log.record("pasteboardItems", {}, static_cast<std::int64_t>(items.size()));
  return items;
}

std::vector<std::string> SimPasteboard::types(const platform::PasteboardItem& item) {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  std::vector<std::string> types;
  json::Array logged;
  if (const PasteboardItemData* blueprint = itemOf(model, item)) {
    for (const PasteboardEntry& entry : *blueprint) {
      types.push_back(entry.type);
      logged.emplace_back(entry.type);
    }
  }
  world_.log.record("types", json::Object{{"item", itemIndex(item)}}, std::move(logged));
  return types;
}

std::optional<platform::Bytes> SimPasteboard::dataForType(const platform::PasteboardItem& item,
                                                          const std::string& type) {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  std::optional<platform::Bytes> data;
  if (const PasteboardItemData* blueprint = itemOf(model, item)) {
    for (const PasteboardEntry& entry : *blueprint) {
      if (entry.type == type) {
        data = entry.data;
        break;
      }
    }
  }
  world_.log.record("dataForType", json::Object{{"item", itemIndex(item)}, {"type", type}},
                    data ? json::Value(static_cast<std::int64_t>(data->size())) : json::Value());
  return data;
}

void SimPasteboard::clearContents() {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  model.replacePasteboard({});
  world_.log.record("clearContents", {}, model.changeCount);
}

std::int64_t SimPasteboard::changeCount() {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  world_.log.record("changeCount", {}, model.changeCount);
  return model.changeCount;
}

std::optional<std::string> SimPasteboard::stringForType(const std::string& type) {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  // The strings of every item that has the type, joined by line feeds; none when no item has it.
  std::optional<std::string> found;
  for (const PasteboardItemData& item : model.pasteboard) {
    for (const PasteboardEntry& entry : item) {
      if (entry.type != type || !entry.data) continue;
      if (found) {
        *found += '\n';
      } else {
        found.emplace();
      }
      found->append(entry.data->begin(), entry.data->end());
      break;
    }
  }
  world_.log.record("stringForType", json::Object{{"type", type}},
                    found ? json::Value(text::toValidUTF8(*found)) : json::Value());
  return found;
}

void SimPasteboard::writeObjects(const std::vector<platform::NewPasteboardItem>& items) {
  DesktopModel& model = world_.desktop;
  model.applyDue(world_.clock.now());
  json::Array logged;
  for (const platform::NewPasteboardItem& item : items) {
    PasteboardItemData blueprint;
    json::Array types;
    for (const auto& [type, bytes] : item) {
      blueprint.push_back({type, bytes});
      types.emplace_back(type);
    }
    model.pasteboard.push_back(std::move(blueprint));
    logged.emplace_back(std::move(types));
  }
  world_.log.record("writeObjects", json::Object{{"items", std::move(logged)}}, true);
}

}  // namespace velmuro::sim
