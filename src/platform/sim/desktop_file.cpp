#include "platform/sim/desktop_file.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "platform/sim/named_pairs.h"
#include "text/utf8.h"

namespace velmuro::sim {

namespace {

class Loader {
 public:
  explicit Loader(std::string* error) : error_(error) {}

  bool fail(const std::string& where, const std::string& what) {
    if (error_) *error_ = where + ": " + what;
    return false;
  }

  bool checkKeys(const json::Value& object, const std::string& where,
                 std::initializer_list<std::string_view> allowed) {
    if (!object.isObject()) return fail(where, "expected an object");
    for (const auto& [key, value] : object.asObject()) {
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        return fail(where, "unknown member \"" + key + "\"");
      }
    }
    return true;
  }

  bool readString(const json::Value& value, const std::string& where, std::string& out) {
    if (!value.isString()) return fail(where, "expected a string");
    out = value.asString();
    return true;
  }

  bool readMillis(const json::Value& value, const std::string& where, Micros& out) {
    if (!value.isNumber() || !(value.asNumber() >= 0) || value.asNumber() > 1e12) {
      return fail(where, "expected a number of milliseconds, 0 or more");
    }
    out = Micros(static_cast<std::int64_t>(std::llround(value.asNumber() * 1000.0)));
    return true;
  }

  bool readError(const json::Value& value, const std::string& where, platform::AXError& out) {
    static const std::pair<std::string_view, platform::AXError> kNames[] = {
        {"success", platform::kAXErrorSuccess},
        {"failure", platform::kAXErrorFailure},
        {"illegalArgument", platform::kAXErrorIllegalArgument},
        {"invalidUIElement", platform::kAXErrorInvalidUIElement},
        {"cannotComplete", platform::kAXErrorCannotComplete},
        {"attributeUnsupported", platform::kAXErrorAttributeUnsupported},
        {"actionUnsupported", platform::kAXErrorActionUnsupported},
        {"apiDisabled", platform::kAXErrorAPIDisabled},
        {"noValue", platform::kAXErrorNoValue},
    };
    if (value.isNumber()) {
      double n = value.asNumber();
      if (n != std::floor(n) || n < std::numeric_limits<std::int32_t>::min() ||
          n > std::numeric_limits<std::int32_t>::max()) {
        return fail(where, "expected a 32-bit error code");
      }
      out = static_cast<platform::AXError>(n);
      return true;
    }
    if (value.isString()) {
      for (const auto& [name, code] : kNames) {
        if (value.asString() == name) {
          out = code;
          return true;
        }
      }
    }
    return fail(where,
                "expected an error code or one of success, failure, illegalArgument, "
                "invalidUIElement, cannotComplete, attributeUnsupported, "
                "actionUnsupported, apiDisabled, noValue");
  }

  bool readValue(const json::Value& value, const std::string& where, DesktopValue& out) {
    if (value.isNull()) {
      out = std::monostate{};
    } else if (value.isString()) {
      out = text(value.asString());
    } else if (value.isNumber()) {
      out = number(value.asNumber());
    } else if (value.isBool()) {
      out = value.asBool();
    } else if (value.isObject() && value.asObject().size() == 1) {
      const auto& [kind, inner] = value.asObject().front();
      std::string s;
      if (kind == "text") {
        if (!readString(inner, where + ".text", s)) return false;
        out = text(s);
      } else if (kind == "url") {
        if (!readString(inner, where + ".url", s)) return false;
        out = url(s);
      } else if (kind == "number") {
        if (!inner.isNumber()) return fail(where + ".number", "expected a number");
        out = number(inner.asNumber());
      } else if (kind == "element") {
        if (!readString(inner, where + ".element", s)) return false;
        out = element(s);
      } else if (kind == "elements") {
        if (!inner.isArray()) return fail(where + ".elements", "expected an array of ids");
        std::vector<std::string> ids;
        for (const json::Value& id : inner.asArray()) {
          if (!readString(id, where + ".elements", s)) return false;
          ids.push_back(s);
        }
        out = elements(std::move(ids));
      } else if (kind == "other") {
        out = other();
      } else {
        return fail(where, "unknown value kind \"" + kind + "\"");
      }
    } else {
      return fail(where,
                  "expected a string, number, Boolean, null or one of {\"text\"}, "
                  "{\"url\"}, {\"number\"}, {\"element\"}, {\"elements\"}, {\"other\"}");
    }
    return true;
  }

  bool readBytes(const json::Value& entry, const std::string& where, PasteboardEntry& out) {
    if (!checkKeys(entry, where, {"type", "text", "hex", "unreadable"})) return false;
    const json::Value* type = entry.find("type");
    if (!type) return fail(where, "missing \"type\"");
    if (!readString(*type, where + ".type", out.type)) return false;
    int forms = 0;
    if (const json::Value* t = entry.find("text")) {
      std::string s;
      if (!readString(*t, where + ".text", s)) return false;
      out.data = platform::Bytes(s.begin(), s.end());
      ++forms;
    }
    if (const json::Value* h = entry.find("hex")) {
      std::string s;
      if (!readString(*h, where + ".hex", s)) return false;
      if (s.size() % 2 != 0) return fail(where + ".hex", "expected an even number of digits");
      platform::Bytes bytes;
      for (std::size_t i = 0; i < s.size(); i += 2) {
        int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return fail(where + ".hex", "expected hexadecimal digits");
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
      }
      out.data = std::move(bytes);
      ++forms;
    }
    if (const json::Value* u = entry.find("unreadable")) {
      if (!u->isBool() || !u->asBool()) return fail(where + ".unreadable", "expected true");
      out.data.reset();
      ++forms;
    }
    if (forms != 1) return fail(where, "give exactly one of \"text\", \"hex\", \"unreadable\"");
    return true;
  }

  bool readItems(const json::Value& value, const std::string& where,
                 std::vector<PasteboardItemData>& out) {
    if (!value.isArray()) return fail(where, "expected an array of items");
    for (std::size_t i = 0; i < value.asArray().size(); ++i) {
      const json::Value& item = value.asArray()[i];
      std::string itemWhere = where + "[" + std::to_string(i) + "]";
      if (!item.isArray()) return fail(itemWhere, "expected an array of typed data");
      PasteboardItemData blueprint;
      for (std::size_t j = 0; j < item.asArray().size(); ++j) {
        PasteboardEntry entry;
        if (!readBytes(item.asArray()[j], itemWhere + "[" + std::to_string(j) + "]", entry)) {
          return false;
        }
        blueprint.push_back(std::move(entry));
      }
      out.push_back(std::move(blueprint));
    }
    return true;
  }

  // Reads the members that every node has; `extra` lists the further members allowed.
  bool readNode(const json::Value& value, const std::string& where, NodeTemplate& out,
                std::initializer_list<std::string_view> extra = {}) {
    if (!value.isObject()) return fail(where, "expected a node object");
    static constexpr std::string_view kNodeKeys[] = {
        "id",        "role",       "subrole", "title",   "domId",   "url",       "document",
        "value",     "attributes", "fail",    "failSet", "actions", "latencyMs", "actionLatencyMs",
        "reactions", "children"};
    for (const auto& [key, member] : value.asObject()) {
      bool known =
          std::find(std::begin(kNodeKeys), std::end(kNodeKeys), key) != std::end(kNodeKeys) ||
          std::find(extra.begin(), extra.end(), key) != extra.end();
      if (!known) return fail(where, "unknown member \"" + key + "\"");
    }
    std::string s;
    if (const json::Value* id = value.find("id")) {
      if (!readString(*id, where + ".id", out.id)) return false;
    }
    static constexpr std::pair<std::string_view, std::string_view> kTextShorthands[] = {
        {"role", "AXRole"},
        {"subrole", "AXSubrole"},
        {"title", "AXTitle"},
        {"domId", "AXDOMIdentifier"}};
    for (const auto& [key, attribute] : kTextShorthands) {
      if (const json::Value* v = value.find(key)) {
        if (!readString(*v, where + "." + std::string(key), s)) return false;
        out.set(std::string(attribute), text(s));
      }
    }
    static constexpr std::pair<std::string_view, std::string_view> kURLShorthands[] = {
        {"url", "AXURL"}, {"document", "AXDocument"}};
    for (const auto& [key, attribute] : kURLShorthands) {
      if (const json::Value* v = value.find(key)) {
        if (!readString(*v, where + "." + std::string(key), s)) return false;
        out.set(std::string(attribute), url(s));
      }
    }
    if (const json::Value* v = value.find("value")) {
      DesktopValue typed;
      if (!readValue(*v, where + ".value", typed)) return false;
      out.set("AXValue", std::move(typed));
    }
    if (const json::Value* attributes = value.find("attributes")) {
      if (!attributes->isObject()) return fail(where + ".attributes", "expected an object");
      // Names in one object never repeat, so only the shorthands above can be replaced here:
      // a node with many attributes loads in time in proportion to their number.
      std::size_t shorthands = out.attributes.size();
      out.attributes.reserve(shorthands + attributes->asObject().size());
      for (const auto& [name, member] : attributes->asObject()) {
        DesktopValue typed;
        if (!readValue(member, where + ".attributes." + name, typed)) return false;
        auto stated = std::find_if(out.attributes.begin(),
                                   out.attributes.begin() + static_cast<std::ptrdiff_t>(shorthands),
                                   [&](const auto& pair) { return pair.first == name; });
        if (stated != out.attributes.begin() + static_cast<std::ptrdiff_t>(shorthands)) {
          stated->second = std::move(typed);
        } else {
          out.attributes.emplace_back(name, std::move(typed));
        }
      }
    }
    if (const json::Value* failures = value.find("fail")) {
      if (!failures->isObject()) return fail(where + ".fail", "expected an object");
      for (const auto& [name, member] : failures->asObject()) {
        std::string memberWhere = where + ".fail." + name;
        AttributeFailure failure;
        if (member.isObject()) {
          if (!checkKeys(member, memberWhere, {"error", "value"})) return false;
          const json::Value* code = member.find("error");
          if (!code) return fail(memberWhere, "missing \"error\"");
          if (!readError(*code, memberWhere + ".error", failure.error)) return false;
          if (const json::Value* v = member.find("value")) {
            DesktopValue typed;
            if (!readValue(*v, memberWhere + ".value", typed)) return false;
            failure.valueWithError = std::move(typed);
          }
        } else if (!readError(member, memberWhere, failure.error)) {
          return false;
        }
        out.fail(name, failure.error, failure.valueWithError);
      }
    }
    if (const json::Value* failures = value.find("failSet")) {
      if (!failures->isObject()) return fail(where + ".failSet", "expected an object");
      for (const auto& [name, member] : failures->asObject()) {
        platform::AXError code;
        if (!readError(member, where + ".failSet." + name, code)) return false;
        out.failSet(name, code);
      }
    }
    if (const json::Value* actions = value.find("actions")) {
      if (!actions->isObject()) return fail(where + ".actions", "expected an object");
      for (const auto& [name, member] : actions->asObject()) {
        platform::AXError code;
        if (!readError(member, where + ".actions." + name, code)) return false;
        out.actionResult(name, code);
      }
    }
    if (const json::Value* latency = value.find("latencyMs")) {
      Micros micros;
      if (!readMillis(*latency, where + ".latencyMs", micros)) return false;
      out.latency = micros;
    }
    if (const json::Value* latency = value.find("actionLatencyMs")) {
      Micros micros;
      if (!readMillis(*latency, where + ".actionLatencyMs", micros)) return false;
      out.actionLatency = micros;
    }
    if (const json::Value* reactions = value.find("reactions")) {
      if (!reactions->isArray()) return fail(where + ".reactions", "expected an array");
      for (std::size_t i = 0; i < reactions->asArray().size(); ++i) {
        Reaction reaction;
        if (!readReaction(reactions->asArray()[i], where + ".reactions[" + std::to_string(i) + "]",
                          reaction)) {
          return false;
        }
        out.reactions.push_back(std::move(reaction));
      }
    }
    if (const json::Value* children = value.find("children")) {
      if (!readChildren(*children, where + ".children", out.children)) return false;
    }
    return true;
  }

  bool readChildren(const json::Value& value, const std::string& where,
                    std::vector<NodeTemplate>& out, std::string_view defaultRole = {}) {
    if (!value.isArray()) return fail(where, "expected an array of nodes");
    out.reserve(out.size() + value.asArray().size());
    for (std::size_t i = 0; i < value.asArray().size(); ++i) {
      NodeTemplate child;
      if (!readNode(value.asArray()[i], where + "[" + std::to_string(i) + "]", child)) {
        return false;
      }
      if (!defaultRole.empty() && !findPair(child.attributes, "AXRole")) {
        child.role(std::string(defaultRole));
      }
      out.push_back(std::move(child));
    }
    return true;
  }

  bool readReaction(const json::Value& value, const std::string& where, Reaction& out) {
    if (!checkKeys(value, where, {"on", "nth", "do"})) return false;
    const json::Value* on = value.find("on");
    if (!on) return fail(where, "missing \"on\"");
    if (on->isString()) {
      out.action = on->asString();
    } else if (on->isObject()) {
      if (!checkKeys(*on, where + ".on", {"action", "set", "value"})) return false;
      if (const json::Value* action = on->find("action")) {
        if (!readString(*action, where + ".on.action", out.action)) return false;
      } else if (const json::Value* set = on->find("set")) {
        if (!readString(*set, where + ".on.set", out.setAttribute)) return false;
        if (const json::Value* v = on->find("value")) {
          if (!v->isBool()) return fail(where + ".on.value", "expected a Boolean");
          out.setValue = v->asBool();
        }
      } else {
        return fail(where + ".on", "expected \"action\" or \"set\"");
      }
    } else {
      return fail(where + ".on", "expected an action name or an object");
    }
    if (out.action.empty() && out.setAttribute.empty()) return fail(where + ".on", "empty name");
    if (const json::Value* nth = value.find("nth")) {
      if (!nth->isNumber() || nth->asNumber() < 1 || nth->asNumber() > 1e9 ||
          nth->asNumber() != std::floor(nth->asNumber())) {
        return fail(where + ".nth", "expected a whole number, 1 or more");
      }
      out.nth = static_cast<int>(nth->asNumber());
    }
    const json::Value* effects = value.find("do");
    if (!effects || !effects->isArray()) return fail(where, "expected \"do\": an array of effects");
    for (std::size_t i = 0; i < effects->asArray().size(); ++i) {
      Effect effect;
      if (!readEffect(effects->asArray()[i], where + ".do[" + std::to_string(i) + "]", "afterMs",
                      effect)) {
        return false;
      }
      out.effects.push_back(std::move(effect));
    }
    return true;
  }

  bool readEffect(const json::Value& value, const std::string& where, std::string_view delayKey,
                  Effect& out) {
    if (!checkKeys(value, where,
                   {delayKey, "add", "to", "at", "remove", "set", "attribute", "value",
                    "writePasteboard"})) {
      return false;
    }
    if (const json::Value* delay = value.find(delayKey)) {
      if (!readMillis(*delay, where + "." + std::string(delayKey), out.delay)) return false;
    }
    int kinds = 0;
    if (const json::Value* add = value.find("add")) {
      ++kinds;
      out.kind = Effect::Kind::kAdd;
      if (add->isArray()) {
        if (!readChildren(*add, where + ".add", out.nodes)) return false;
      } else {
        NodeTemplate node;
        if (!readNode(*add, where + ".add", node)) return false;
        out.nodes.push_back(std::move(node));
      }
      const json::Value* to = value.find("to");
      if (!to) return fail(where, "\"add\" needs \"to\": the parent's id");
      if (!readString(*to, where + ".to", out.node)) return false;
      if (const json::Value* at = value.find("at")) {
        if (!at->isNumber() || at->asNumber() < 0 || at->asNumber() > 1e9 ||
            at->asNumber() != std::floor(at->asNumber())) {
          return fail(where + ".at", "expected a position, 0 or more");
        }
        out.index = static_cast<std::size_t>(at->asNumber());
      }
    }
    if (const json::Value* remove = value.find("remove")) {
      ++kinds;
      out.kind = Effect::Kind::kRemove;
      if (!readString(*remove, where + ".remove", out.node)) return false;
    }
    if (const json::Value* set = value.find("set")) {
      ++kinds;
      out.kind = Effect::Kind::kSet;
      if (!readString(*set, where + ".set", out.node)) return false;
      const json::Value* attribute = value.find("attribute");
      if (!attribute) return fail(where, "\"set\" needs \"attribute\"");
      if (!readString(*attribute, where + ".attribute", out.attribute)) return false;
      const json::Value* v = value.find("value");
      if (!v) return fail(where, "\"set\" needs \"value\"");
      if (!readValue(*v, where + ".value", out.value)) return false;
    }
    if (const json::Value* items = value.find("writePasteboard")) {
      ++kinds;
      out.kind = Effect::Kind::kWritePasteboard;
      if (!readItems(*items, where + ".writePasteboard", out.items)) return false;
    }
    if (kinds != 1) {
      return fail(where, "give exactly one of \"add\", \"remove\", \"set\", \"writePasteboard\"");
    }
    return true;
  }

  bool readApplication(const json::Value& value, const std::string& where,
                       ApplicationTemplate& out) {
    if (!readNode(value, where, out.root, {"bundleId", "pid", "hung", "menuBar", "windows"})) {
      return false;
    }
    const json::Value* bundleId = value.find("bundleId");
    if (!bundleId) return fail(where, "missing \"bundleId\"");
    if (!readString(*bundleId, where + ".bundleId", out.bundleId)) return false;
    const json::Value* pid = value.find("pid");
    if (!pid || !pid->isNumber() || pid->asNumber() < 1 || pid->asNumber() > 2147483647.0 ||
        pid->asNumber() != std::floor(pid->asNumber())) {
      return fail(where + ".pid", "expected a process ID, 1 or more");
    }
    out.pid = static_cast<pid_t>(pid->asNumber());
    // Requests to the application take its latency unless a node says otherwise.
    if (out.root.latency) {
      out.latency = *out.root.latency;
      out.root.latency.reset();
    }
    if (const json::Value* hung = value.find("hung")) {
      if (!hung->isBool()) return fail(where + ".hung", "expected a Boolean");
      out.hung = hung->asBool();
    }
    if (out.root.id.empty()) out.root.id = "app" + std::to_string(out.pid);
    if (!findPair(out.root.attributes, "AXRole")) out.root.role("AXApplication");
    std::vector<NodeTemplate> children;
    if (const json::Value* menuBar = value.find("menuBar")) {
      NodeTemplate bar;
      if (!readNode(*menuBar, where + ".menuBar", bar)) return false;
      if (!findPair(bar.attributes, "AXRole")) bar.role("AXMenuBar");
      children.push_back(std::move(bar));
    }
    if (const json::Value* windows = value.find("windows")) {
      if (!readChildren(*windows, where + ".windows", children, "AXWindow")) return false;
    }
    for (NodeTemplate& child : out.root.children) children.push_back(std::move(child));
    out.root.children = std::move(children);
    return true;
  }

 private:
  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::string* error_;
};

// Ids must not repeat within the trees a world starts with.
bool collectIds(const NodeTemplate& root, std::unordered_set<std::string>& ids,
                std::string* error) {
  std::vector<const NodeTemplate*> work{&root};
  while (!work.empty()) {
    const NodeTemplate* node = work.back();
    work.pop_back();
    if (!node->id.empty() && !ids.insert(node->id).second) {
      if (error) *error = "applications: the node id \"" + node->id + "\" is used twice";
      return false;
    }
    for (const NodeTemplate& child : node->children) work.push_back(&child);
  }
  return true;
}

}  // namespace

bool loadDesktop(const json::Value& root, DesktopModel& model, std::string* error) {
  Loader loader(error);
  if (const json::Value* accessibility = root.find("accessibility")) {
    if (!loader.checkKeys(*accessibility, "accessibility", {"trusted"})) return false;
    if (const json::Value* trusted = accessibility->find("trusted")) {
      if (!trusted->isBool()) return loader.fail("accessibility.trusted", "expected a Boolean");
      model.trusted = trusted->asBool();
    }
  }
  if (const json::Value* applications = root.find("applications")) {
    if (!applications->isArray()) return loader.fail("applications", "expected an array");
    std::vector<ApplicationTemplate> blueprints;
    std::unordered_set<std::string> ids;
    for (std::size_t i = 0; i < applications->asArray().size(); ++i) {
      ApplicationTemplate blueprint;
      if (!loader.readApplication(applications->asArray()[i],
                                  "applications[" + std::to_string(i) + "]", blueprint)) {
        return false;
      }
      if (!collectIds(blueprint.root, ids, error)) return false;
      blueprints.push_back(std::move(blueprint));
    }
    for (ApplicationTemplate& blueprint : blueprints) model.addApplication(std::move(blueprint));
  }
  if (const json::Value* pasteboard = root.find("pasteboard")) {
    if (!loader.checkKeys(*pasteboard, "pasteboard", {"changeCount", "items"})) return false;
    if (const json::Value* count = pasteboard->find("changeCount")) {
      if (!count->isNumber() || count->asNumber() != std::floor(count->asNumber()) ||
          std::fabs(count->asNumber()) > 9e15) {
        return loader.fail("pasteboard.changeCount", "expected a whole number");
      }
      model.changeCount = static_cast<std::int64_t>(count->asNumber());
    }
    if (const json::Value* items = pasteboard->find("items")) {
      if (!loader.readItems(*items, "pasteboard.items", model.pasteboard)) return false;
    }
  }
  if (const json::Value* timeline = root.find("timeline")) {
    if (!timeline->isArray()) return loader.fail("timeline", "expected an array of effects");
    for (std::size_t i = 0; i < timeline->asArray().size(); ++i) {
      Effect effect;
      if (!loader.readEffect(timeline->asArray()[i], "timeline[" + std::to_string(i) + "]", "atMs",
                             effect)) {
        return false;
      }
      model.schedule(std::move(effect));
    }
  }
  return true;
}

json::Value toJSON(const DesktopValue& value) {
  struct Visitor {
    json::Value operator()(std::monostate) const { return nullptr; }
    json::Value operator()(const platform::AXText& v) const { return v.text; }
    json::Value operator()(const platform::AXURL& v) const {
      return json::Object{{"url", v.absoluteString}};
    }
    json::Value operator()(const platform::AXNumber& v) const { return v.value; }
    json::Value operator()(bool v) const { return v; }
    json::Value operator()(const NodeRef& v) const { return json::Object{{"element", v.id}}; }
    json::Value operator()(const std::vector<NodeRef>& v) const {
      json::Array ids;
      for (const NodeRef& ref : v) ids.emplace_back(ref.id);
      return json::Object{{"elements", std::move(ids)}};
    }
    json::Value operator()(const platform::AXOther&) const { return json::Object{{"other", true}}; }
  };
  return std::visit(Visitor{}, value);
}

namespace {

json::Value pasteboardEntryJSON(const PasteboardEntry& entry) {
  json::Object object{{"type", entry.type}};
  if (!entry.data) {
    object.emplace_back("unreadable", true);
    return object;
  }
  std::string_view bytes(reinterpret_cast<const char*>(entry.data->data()), entry.data->size());
  if (text::isValidUTF8(bytes)) {
    object.emplace_back("text", std::string(bytes));
  } else {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : *entry.data) {
      hex.push_back(kDigits[byte >> 4]);
      hex.push_back(kDigits[byte & 15]);
    }
    object.emplace_back("hex", std::move(hex));
  }
  return object;
}

}  // namespace

json::Value desktopState(const DesktopModel& model) {
  json::Array items;
  for (const PasteboardItemData& item : model.pasteboard) {
    json::Array entries;
    for (const PasteboardEntry& entry : item) entries.push_back(pasteboardEntryJSON(entry));
    items.emplace_back(std::move(entries));
  }
  json::Array attributes;
  for (const auto& [node, attribute] : model.changedAttributes) {
    const DesktopValue* value = findPair(model.nodes[node].attributes, attribute);
    attributes.emplace_back(json::Object{{"node", model.nodes[node].id},
                                         {"attribute", attribute},
                                         {"value", value ? toJSON(*value) : json::Value()}});
  }
  json::Array added(model.addedNodes.begin(), model.addedNodes.end());
  json::Array removed(model.removedNodes.begin(), model.removedNodes.end());
  json::Value timeout = nullptr;
  if (model.messagingTimeout) {
    timeout = static_cast<double>(model.messagingTimeout->count()) / 1e6;
  }
  return json::Object{
      {"trusted", model.trusted},
      {"messagingTimeout", timeout},
      {"pasteboard", json::Object{{"changeCount", model.changeCount}, {"items", items}}},
      {"changedAttributes", std::move(attributes)},
      {"addedNodes", std::move(added)},
      {"removedNodes", std::move(removed)},
      {"liveElementHandles", static_cast<std::int64_t>(model.liveElementHandles())},
  };
}

}  // namespace velmuro::sim
