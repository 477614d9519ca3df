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

NodeTemplate::NodeTemplate(const NodeTemplate& other) : NodeTemplate(other.copyWithoutChildren()) {
  // Level by level with a work list: each list of children is sized before its members are
  // listed as work, so the places the work list points at stay put.
  std::vector<std::pair<NodeTemplate*, const NodeTemplate*>> work{{this, &other}};
  while (!work.empty()) {
    auto [to, from] = work.back();
    work.pop_back();
    to->children.reserve(from->children.size());
    for (const NodeTemplate& child : from->children) {
      to->children.push_back(child.copyWithoutChildren());
      work.emplace_back(&to->children.back(), &child);
    }
  }
}

NodeTemplate& NodeTemplate::operator=(const NodeTemplate& other) {
  if (this != &other) *this = NodeTemplate(other);
  return *this;
}

NodeTemplate::~NodeTemplate() {
  // Lists of children are taken out of their nodes before the nodes go, so destroying a node
  // never destroys a grandchild: destruction never goes deeper than one level.
  if (children.empty()) return;
  std::vector<std::vector<NodeTemplate>> lists;
  lists.push_back(std::move(children));
  while (!lists.empty()) {
    std::vector<NodeTemplate> list = std::move(lists.back());
    lists.pop_back();
    for (NodeTemplate& child : list) {
      if (!child.children.empty()) lists.push_back(std::move(child.children));
    }
  }
}

NodeTemplate NodeTemplate::copyWithoutChildren() const {
  NodeTemplate copy(id);
  copy.attributes = attributes;
  copy.failures = failures;
  copy.setFailures = setFailures;
  copy.actionResults = actionResults;
  copy.latency = latency;
  copy.actionLatency = actionLatency;
  copy.reactions = reactions;
  return copy;
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
  applicationByPid_.emplace(app.pid, applications.size());
  applications.push_back(std::move(app));
}

DesktopModel::Application* DesktopModel::application(pid_t pid) {
  auto found = applicationByPid_.find(pid);
  return found == applicationByPid_.end() ? nullptr : &applications[found->second];
}

int DesktopModel::makeNode(const NodeTemplate& blueprint, pid_t pid, int parent) {
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
  if (!blueprint.reactions.empty()) {
    node.reactions = std::make_shared<const std::vector<Reaction>>(blueprint.reactions);
  }
  node.children.reserve(blueprint.children.size());
  byId_[node.id] = index;
  nodes.push_back(std::move(node));
  return index;
}

int DesktopModel::instantiate(const NodeTemplate& blueprint, pid_t pid, int parent) {
  std::size_t count = 0;
  std::vector<const NodeTemplate*> counting{&blueprint};
  while (!counting.empty()) {
    const NodeTemplate* next = counting.back();
    counting.pop_back();
    ++count;
    for (const NodeTemplate& child : next->children) counting.push_back(&child);
  }
  // Room for the whole tree at once, growing geometrically so that many small additions stay cheap.
  if (nodes.size() + count > nodes.capacity()) {
    nodes.reserve(std::max(nodes.size() + count, 2 * nodes.capacity()));
  }
  // Depth first with a work list, children pushed last to first, so nodes are numbered in the
  // order of the template (the names "#<n>" depend on it) however deep the tree.
  std::vector<std::pair<const NodeTemplate*, int>> work{{&blueprint, parent}};
  int root = -1;
  while (!work.empty()) {
    auto [from, parentIndex] = work.back();
    work.pop_back();
    int index = makeNode(*from, pid, parentIndex);
    if (root < 0) {
      root = index;
    } else {
      nodes[parentIndex].children.push_back(index);
    }
    for (auto child = from->children.rbegin(); child != from->children.rend(); ++child) {
      work.emplace_back(&*child, index);
    }
  }
  return root;
}

void DesktopModel::push(platform::WallTime due, std::variant<Effect, LateWrite> what) {
  pending_.push_back(
      {due, nextSequence_++, std::make_unique<std::variant<Effect, LateWrite>>(std::move(what))});
  std::push_heap(pending_.begin(), pending_.end(), LaterFirst{});
}

void DesktopModel::schedule(Effect effect) {
  if (!origin_) {
    timeline_.push_back(std::move(effect));
    return;
  }
  platform::WallTime due = *origin_ + effect.delay;
  push(due, std::move(effect));
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
  while (!pending_.empty() && pending_.front().due <= now) {
    std::pop_heap(pending_.begin(), pending_.end(), LaterFirst{});
    Pending next = std::move(pending_.back());
    pending_.pop_back();
    if (const Effect* effect = std::get_if<Effect>(next.what.get())) {
      apply(*effect);
      continue;
    }
    // The application gets to a request its caller gave up on: the node must still be there.
    const LateWrite& write = std::get<LateWrite>(*next.what);
    if (!nodes[write.node].present) continue;
    if (write.action.empty()) {
      setBoolean(write.node, write.attribute, write.value, next.due);
    } else {
      perform(write.node, write.action, next.due);
    }
  }
}

void DesktopModel::fire(const std::vector<Effect>& effects, platform::WallTime now) {
  for (const Effect& effect : effects) {
    if (effect.delay <= Micros{0}) {
      apply(effect);
    } else {
      push(now + effect.delay, effect);
    }
  }
}

platform::AXError DesktopModel::perform(int node, const std::string& action,
                                        platform::WallTime now) {
  if (const platform::AXError* stated = findPair(nodes[node].actionResults, action)) {
    if (*stated != platform::kAXErrorSuccess) return *stated;
  }
  performed(node, action, now);
  return platform::kAXErrorSuccess;
}

platform::AXError DesktopModel::setBoolean(int node, const std::string& attribute, bool value,
                                           platform::WallTime now) {
  if (const platform::AXError* failure = findPair(nodes[node].setFailures, attribute)) {
    return *failure;
  }
  attributeSet(node, attribute, value, now);
  return platform::kAXErrorSuccess;
}

void DesktopModel::performLater(int node, std::string action, platform::WallTime at) {
  push(at, LateWrite{node, std::move(action), {}, false});
}

void DesktopModel::setBooleanLater(int node, std::string attribute, bool value,
                                   platform::WallTime at) {
  push(at, LateWrite{node, {}, std::move(attribute), value});
}

void DesktopModel::performed(int node, const std::string& action, platform::WallTime now) {
  int count = ++nodes[node].triggerCounts["press:" + action];
  // Effects may add nodes and so move the node list; the reactions are held on their own.
  std::shared_ptr<const std::vector<Reaction>> reactions = nodes[node].reactions;
  if (!reactions) return;
  for (const Reaction& reaction : *reactions) {
    if (reaction.action != action) continue;
    if (reaction.nth && *reaction.nth != count) continue;
    fire(reaction.effects, now);
  }
}

void DesktopModel::attributeSet(int node, const std::string& attribute, bool value,
                                platform::WallTime now) {
  setAttribute(node, attribute, value);
  int count = ++nodes[node].triggerCounts["set:" + attribute];
  std::shared_ptr<const std::vector<Reaction>> reactions = nodes[node].reactions;
  if (!reactions) return;
  for (const Reaction& reaction : *reactions) {
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
  if (changed_.emplace(node, attribute).second) changedAttributes.emplace_back(node, attribute);
}

void DesktopModel::removeSubtree(int node) {
  std::vector<int> work{node};
  while (!work.empty()) {
    int next = work.back();
    work.pop_back();
    Node& removed = nodes[next];
    if (!removed.present) continue;
    removed.present = false;
    auto found = byId_.find(removed.id);
    if (found != byId_.end() && found->second == next) byId_.erase(found);
    work.insert(work.end(), removed.children.begin(), removed.children.end());
  }
}

void DesktopModel::tidyChildren(int node) {
  Node& parent = nodes[node];
  if (parent.removedChildren == 0) return;
  std::erase_if(parent.children, [&](int child) { return !nodes[child].present; });
  parent.removedChildren = 0;
}

void DesktopModel::apply(const Effect& effect) {
  switch (effect.kind) {
    case Effect::Kind::kAdd: {
      int parent = findNode(effect.node);
      if (parent < 0) return;
      // A position counts the present children only.
      tidyChildren(parent);
      std::size_t at = std::min(effect.index.value_or(std::numeric_limits<std::size_t>::max()),
                                nodes[parent].children.size());
      std::vector<int> added;
      added.reserve(effect.nodes.size());
      for (const NodeTemplate& blueprint : effect.nodes) {
        int child = instantiate(blueprint, nodes[parent].pid, parent);
        addedNodes.push_back(nodes[child].id);
        added.push_back(child);
      }
      auto& siblings = nodes[parent].children;
      siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(at), added.begin(),
                      added.end());
      return;
    }
    case Effect::Kind::kRemove: {
      int node = findNode(effect.node);
      if (node < 0) return;
      removedNodes.push_back(nodes[node].id);
      removeSubtree(node);
      // The parent's list keeps the removed child until half of it is gone, so removing many
      // children one by one costs time in proportion to their number.
      if (int parent = nodes[node].parent; parent >= 0) {
        Node& p = nodes[parent];
        if (2 * ++p.removedChildren > static_cast<int>(p.children.size())) tidyChildren(parent);
      }
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
