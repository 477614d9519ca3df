#include "platform/sim/desktop_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/sim/named_pairs.h"

namespace velmuro::sim {

DesktopValue text(std::string value) { return platform::AXText{std::move(value)}; }
DesktopValue url(std::string absoluteString) { return platform::AXURL{std::move(absoluteString)}; }
DesktopValue number(double value) { return platform::AXNumber{value}; }
DesktopValue element(std::string id) { return NodeRef{std::move(id)}; }
DesktopValue elements(std::vector<std::string> ids) {
  std::vector<NodeRef> refs;
  for (std::string& id : ids) refs.push_back({std::move(id)});
  return refs;
}
DesktopValue other() { return platform::AXOther{}; }

PasteboardItemData plainTextItem(std::string_view text) {
  return {{platform::kPasteboardTypeString, platform::Bytes(text.begin(), text.end())}};
}

Effect addNodes(std::string parent, std::vector<NodeTemplate> nodes, Micros delay) {
  Effect effect;
  effect.kind = Effect::Kind::kAdd;
  effect.node = std::move(parent);
  effect.nodes = std::move(nodes);
  effect.delay = delay;
  return effect;
}

Effect removeNode(std::string id, Micros delay) {
  Effect effect;
  effect.kind = Effect::Kind::kRemove;
  effect.node = std::move(id);
  effect.delay = delay;
  return effect;
}

Effect setValue(std::string id, std::string attribute, DesktopValue value, Micros delay) {
  Effect effect;
  effect.kind = Effect::Kind::kSet;
  effect.node = std::move(id);
  effect.attribute = std::move(attribute);
  effect.value = std::move(value);
  effect.delay = delay;
  return effect;
}

Effect writePasteboard(std::vector<PasteboardItemData> items, Micros delay) {
  Effect effect;
  effect.kind = Effect::Kind::kWritePasteboard;
  effect.items = std::move(items);
  effect.delay = delay;
  return effect;
}

NodeTemplate& NodeTemplate::set(std::string attribute, DesktopValue value) {
  putPair(attributes, std::move(attribute), std::move(value));
  return *this;
}

NodeTemplate& NodeTemplate::fail(std::string attribute, platform::AXError error,
                                 std::optional<DesktopValue> valueWithError) {
  putPair(failures, std::move(attribute), AttributeFailure{error, std::move(valueWithError)});
  return *this;
}

NodeTemplate& NodeTemplate::failSet(std::string attribute, platform::AXError error) {
  putPair(setFailures, std::move(attribute), error);
  return *this;
}

NodeTemplate& NodeTemplate::actionResult(std::string action, platform::AXError result) {
  putPair(actionResults, std::move(action), result);
  return *this;
}

NodeTemplate& NodeTemplate::onPress(std::vector<Effect> effects, std::optional<int> nth) {
  Reaction reaction;
  reaction.action = "AXPress";
  reaction.nth = nth;
  reaction.effects = std::move(effects);
  reactions.push_back(std::move(reaction));
  return *this;
}

NodeTemplate& NodeTemplate::onSet(std::string attribute, std::optional<bool> value,
                                  std::vector<Effect> effects) {
  Reaction reaction;
  reaction.setAttribute = std::move(attribute);
  reaction.setValue = value;
  reaction.effects = std::move(effects);
  reactions.push_back(std::move(reaction));
  return *this;
}

NodeTemplate& NodeTemplate::add(NodeTemplate child) {
  children.push_back(std::move(child));
  return *this;
}

NodeTemplate applicationNode(std::string id, std::optional<NodeTemplate> menuBar,
                             std::vector<NodeTemplate> windows) {
  NodeTemplate app(std::move(id));
  app.role("AXApplication");
  if (menuBar) app.add(std::move(*menuBar));
  for (NodeTemplate& window : windows) app.add(std::move(window));
  return app;
}

// ---- The live model ----

void DesktopModel::addApplication(ApplicationTemplate blueprint) {
  Application app;
  app.bundleId = std::move(blueprint.bundleId);
  app.pid = blueprint.pid;
  app.latency = blueprint.latency;
  app.hung = blueprint.hung;
  app.root = instantiate(blueprint.root, blueprint.pid, -1);
  applications.push_back(std::move(app));
}

int DesktopModel::instantiate(const NodeTemplate& blueprint, pid_t pid, int parent) {
  int index = static_cast<int>(nodes.size());
  Node node;
  node.id = blueprint.id.empty() ? "#" + std::to_string(index) : blueprint.id;
  node.pid = pid;
  node.parent = parent;
  node.attributes = blueprint.attributes;
  node.failures = blueprint.failures;
  node.setFailures = blueprint.setFailures;
  node.actionResults = blueprint.actionResults;
  node.latency = blueprint.latency;
  node.actionLatency = blueprint.actionLatency;
  node.reactions = blueprint.reactions;
  byId_[node.id] = index;
  nodes.push_back(std::move(node));
  for (const NodeTemplate& child : blueprint.children) {
    int childIndex = instantiate(child, pid, index);
    nodes[index].children.push_back(childIndex);
  }
  return index;
}

void DesktopModel::schedule(Effect effect) {
  if (!origin_) {
    timeline_.push_back(std::move(effect));
    return;
  }
  platform::WallTime due = *origin_ + effect.delay;
  pending_.push_back({due, nextSequence_++, std::move(effect)});
}

void DesktopModel::start(platform::WallTime now) {
  if (origin_) return;
  origin_ = now;
  std::vector<Effect> timeline = std::move(timeline_);
  timeline_.clear();
  for (Effect& effect : timeline) schedule(std::move(effect));
}

int DesktopModel::findNode(std::string_view id) const {
  auto found = byId_.find(id);
  if (found == byId_.end()) return -1;
  return nodes[found->second].present ? found->second : -1;
}

std::optional<DesktopValue> DesktopModel::attributeOf(std::string_view id,
                                                      std::string_view attribute) const {
  int index = findNode(id);
  if (index < 0) return std::nullopt;
  const DesktopValue* value = findPair(nodes[index].attributes, attribute);
  if (!value) return std::nullopt;
  return *value;
}

void DesktopModel::applyDue(platform::WallTime now) {
  while (true) {
    auto next = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->due > now) continue;
      if (next == pending_.end() || it->due < next->due ||
          (it->due == next->due && it->sequence < next->sequence)) {
        next = it;
      }
    }
    if (next == pending_.end()) return;
    Effect effect = std::move(next->effect);
    pending_.erase(next);
    apply(effect);
  }
}

void DesktopModel::fire(const std::vector<Effect>& effects, platform::WallTime now) {
  for (const Effect& effect : effects) {
    if (effect.delay <= Micros{0}) {
      apply(effect);
    } else {
      pending_.push_back({now + effect.delay, nextSequence_++, effect});
    }
  }
}

void DesktopModel::performed(int node, const std::string& action, platform::WallTime now) {
  int count = ++nodes[node].triggerCounts["press:" + action];
  // Effects may add nodes, so the reactions are copied out before any of them runs.
  std::vector<Reaction> reactions = nodes[node].reactions;
  for (const Reaction& reaction : reactions) {
    if (reaction.action != action) continue;
    if (reaction.nth && *reaction.nth != count) continue;
    fire(reaction.effects, now);
  }
}

void DesktopModel::attributeSet(int node, const std::string& attribute, bool value,
                                platform::WallTime now) {
  setAttribute(node, attribute, value);
  int count = ++nodes[node].triggerCounts["set:" + attribute];
  std::vector<Reaction> reactions = nodes[node].reactions;
  for (const Reaction& reaction : reactions) {
    if (reaction.setAttribute.empty() || reaction.setAttribute != attribute) continue;
    if (reaction.setValue && *reaction.setValue != value) continue;
    if (reaction.nth && *reaction.nth != count) continue;
    fire(reaction.effects, now);
  }
}

void DesktopModel::replacePasteboard(std::vector<PasteboardItemData> items) {
  ++changeCount;
  ++pasteboardGeneration;
  pasteboard = std::move(items);
}

void DesktopModel::setAttribute(int node, const std::string& attribute, DesktopValue value) {
  putPair(nodes[node].attributes, attribute, std::move(value));
  std::pair<int, std::string> key{node, attribute};
  if (std::find(changedAttributes.begin(), changedAttributes.end(), key) ==
      changedAttributes.end()) {
    changedAttributes.push_back(std::move(key));
  }
}

void DesktopModel::removeSubtree(int node) {
  nodes[node].present = false;
  auto found = byId_.find(nodes[node].id);
  if (found != byId_.end() && found->second == node) byId_.erase(found);
  for (int child : nodes[node].children) removeSubtree(child);
}

void DesktopModel::apply(const Effect& effect) {
  switch (effect.kind) {
    case Effect::Kind::kAdd: {
      int parent = findNode(effect.node);
      if (parent < 0) return;
      std::size_t at = std::min(effect.index.value_or(std::numeric_limits<std::size_t>::max()),
                                nodes[parent].children.size());
      for (const NodeTemplate& blueprint : effect.nodes) {
        int child = instantiate(blueprint, nodes[parent].pid, parent);
        addedNodes.push_back(nodes[child].id);
        auto& siblings = nodes[parent].children;
        siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(at), child);
        ++at;
      }
      return;
    }
    case Effect::Kind::kRemove: {
      int node = findNode(effect.node);
      if (node < 0) return;
      int parent = nodes[node].parent;
      if (parent >= 0) std::erase(nodes[parent].children, node);
      removedNodes.push_back(nodes[node].id);
      removeSubtree(node);
      return;
    }
    case Effect::Kind::kSet: {
      int node = findNode(effect.node);
      if (node >= 0) setAttribute(node, effect.attribute, effect.value);
      return;
    }
    case Effect::Kind::kWritePasteboard:
      replacePasteboard(effect.items);
      return;
  }
}

}  // namespace velmuro::sim
