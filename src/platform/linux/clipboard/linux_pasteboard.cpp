#include "platform/linux/clipboard/linux_pasteboard.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/linux/clipboard/selection_reader.h"
#include "platform/linux/clipboard/selection_server.h"
#include "platform/linux/clipboard/x11_connection.h"
#include "text/utf8.h"

namespace velmuro::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;

// What an item handle points at: the owner it was taken from, as a count of owner changes, and
// what its conversions may still use.
struct SavedItem {
  std::int64_t ownerChanges;
  SteadyTime deadline;
  mutable std::size_t bytesLeft;
};

const SavedItem* savedItem(const platform::PasteboardItem& item) {
  return static_cast<const SavedItem*>(item.get());
}

// Targets that belong to the protocol, not to the data: the serving process answers them itself.
bool isProtocolTarget(std::string_view name) {
  return name == "TARGETS" || name == "TIMESTAMP" || name == "MULTIPLE" || name == "SAVE_TARGETS" ||
         name == "DELETE" || name.starts_with("INSERT_");
}

std::string latin1ToUTF8(const platform::Bytes& bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) text::appendUTF8(text, byte);
  return text;
}

// Converts as the selection is at the end: a conversion whose owner changed under it is made
// again, within the same deadline.
std::optional<SelectionData> convertCurrent(X11Connection& connection, Atom target,
                                            const ClipboardLimits& limits, SteadyTime deadline) {
  for (;;) {
    connection.takeInEvents();
    const std::int64_t before = connection.ownerChanges();
    std::optional<SelectionData> data =
        convertSelection(connection, target, {limits.answer, deadline, limits.bytes, before});
    if (data || connection.ownerChanges() == before || Clock::now() >= deadline) return data;
  }
}

}  // namespace

LinuxPasteboard::LinuxPasteboard(ClipboardLimits limits) : limits_(limits) {}

LinuxPasteboard::~LinuxPasteboard() = default;

X11Connection* LinuxPasteboard::connection() {
  if (!opened_) {
    opened_ = true;
    connection_ = X11Connection::open();
  }
  return connection_.get();
}

std::vector<platform::PasteboardItem> LinuxPasteboard::items() {
  X11Connection* connection = this->connection();
  if (connection == nullptr || connection->owner() == None) return {};
  // Changes that came before the owner's answer count to the item's owner.
  connection->takeInEvents();
  auto item = std::make_shared<const SavedItem>(
      SavedItem{connection->ownerChanges(), Clock::now() + limits_.save, limits_.bytes});
  return {platform::PasteboardItem(item)};
}

std::vector<std::string> LinuxPasteboard::types(const platform::PasteboardItem& item) {
  const SavedItem* saved = savedItem(item);
  X11Connection* connection = this->connection();
  if (saved == nullptr || connection == nullptr) return {};
  std::optional<SelectionData> list =
      convertSelection(*connection, connection->atoms().targets,
                       {limits_.answer, saved->deadline, saved->bytesLeft, saved->ownerChanges});
  if (!list || list->format != 32) return {};
  std::vector<Atom> targets(list->bytes.size() / 4);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::uint32_t target = 0;
    std::memcpy(&target, list->bytes.data() + 4 * i, 4);
    targets[i] = target;
  }
  std::vector<std::string> types;
  for (std::string& name : connection->names(targets)) {
    if (name.empty() || isProtocolTarget(name)) continue;
    if (std::find(types.begin(), types.end(), name) == types.end()) types.push_back(name);
  }
  return types;
}

std::optional<platform::Bytes> LinuxPasteboard::dataForType(const platform::PasteboardItem& item,
                                                            const std::string& type) {
  const SavedItem* saved = savedItem(item);
  X11Connection* connection = this->connection();
  if (saved == nullptr || connection == nullptr || Clock::now() >= saved->deadline) {
    return std::nullopt;
  }
  // A name the server has never known is a target no owner offers.
  const Atom target = connection->atom(type, true);
  std::optional<SelectionData> data =
      convertSelection(*connection, target,
                       {limits_.answer, saved->deadline, saved->bytesLeft, saved->ownerChanges});
  if (!data) return std::nullopt;
  saved->bytesLeft -= data->bytes.size();
  forms_[type] = {data->type, data->format};
  return std::move(data->bytes);
}

void LinuxPasteboard::clearContents() {
  X11Connection* connection = this->connection();
  if (connection == nullptr || !connection->alive()) return;
  connection->x().XSetSelectionOwner(connection->display(), connection->atoms().clipboard, None,
                                     CurrentTime);
  connection->x().XFlush(connection->display());
}

std::int64_t LinuxPasteboard::changeCount() {
  X11Connection* connection = this->connection();
  if (connection == nullptr) return 0;
  connection->sync();
  return connection->ownerChanges();
}

std::optional<std::string> LinuxPasteboard::stringForType(const std::string& type) {
  X11Connection* connection = this->connection();
  if (type != platform::kPasteboardTypeString || connection == nullptr) return std::nullopt;
  const SteadyTime deadline = Clock::now() + limits_.save;
  const ClipboardAtoms& atoms = connection->atoms();
  // The type that comes back says what the bytes are: owners answer with what they have.
  for (Atom target : {atoms.utf8String, Atom{XA_STRING}}) {
    std::optional<SelectionData> data = convertCurrent(*connection, target, limits_, deadline);
    if (!data || data->format != 8) continue;
    if (data->type == atoms.utf8String) {
      return text::toValidUTF8(
          std::string_view(reinterpret_cast<const char*>(data->bytes.data()), data->bytes.size()));
    }
    if (data->type == XA_STRING) return latin1ToUTF8(data->bytes);
  }
  return std::nullopt;
}

void LinuxPasteboard::writeObjects(const std::vector<platform::NewPasteboardItem>& items) {
  X11Connection* connection = this->connection();
  if (connection == nullptr || items.empty()) return;
  std::vector<const std::pair<std::string, platform::Bytes>*> pairs;
  for (const platform::NewPasteboardItem& item : items) {
    for (const auto& pair : item) {
      bool taken = std::any_of(pairs.begin(), pairs.end(),
                               [&](const auto* other) { return other->first == pair.first; });
      if (!taken && !isProtocolTarget(pair.first)) pairs.push_back(&pair);
    }
  }
  std::vector<std::string> names;
  for (const auto* pair : pairs) names.push_back(pair->first);
  std::vector<Atom> targets = connection->atoms(names);
  std::vector<ServedTarget> served;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (targets[i] == None) continue;
    ServedTarget target{targets[i], targets[i], 8, &pairs[i]->second};
    auto form = forms_.find(pairs[i]->first);
    if (form != forms_.end() &&
        pairs[i]->second.size() % static_cast<std::size_t>(form->second.second / 8) == 0) {
      target.type = form->second.first;
      target.format = form->second.second;
    }
    served.push_back(target);
  }
  // Stamped now: a client that takes the selection from here on keeps it.
  if (std::optional<Time> since = connection->serverTime()) {
    startSelectionServer(*connection, served, *since);
  }
  connection->sync();
}

}  // namespace velmuro::linux_desktop
