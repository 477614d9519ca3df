#include "platform/linux/accessibility/tree_wake.h"

#include <atspi/atspi-constants.h>

#include <optional>
#include <string>
#include <thread>

namespace velmuro::linux_desktop {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(5);
// Chromium builds the part of its tree outside the pages at once when it is asked.
constexpr auto kGrowPatience = std::chrono::milliseconds(50);

// True when no frame has anything below its first level.
bool isAsleep(ApplicationLink& link, const std::vector<ObjectReference>& frames) {
  for (const ObjectReference& frame : frames) {
    for (const ObjectReference& child : childrenOf(link, frame)) {
      if (!childrenOf(link, child).empty()) return false;
    }
  }
  return !frames.empty();
}

bool isShowing(ApplicationLink& link, const ObjectReference& object) {
  std::optional<Reply> reply = link.request(Request::kState, object);
  return reply && readHasState(*reply, ATSPI_STATE_SHOWING).value_or(false);
}

// Adds the web documents below the object to documents, not entering them.
void findDocuments(ApplicationLink& link, const ObjectReference& object,
                   std::vector<ObjectReference>& documents) {
  std::vector<ObjectReference> children = childrenOf(link, object);
  std::vector<std::uint32_t> roles = rolesOf(link, children);
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (roles[i] == ATSPI_ROLE_DOCUMENT_WEB) {
      documents.push_back(children[i]);
    } else {
      findDocuments(link, children[i], documents);
    }
  }
}

bool hasAddress(ApplicationLink& link, const ObjectReference& document) {
  std::optional<Reply> reply = link.request(Request::kDocumentAttributes, document);
  if (!reply) return false;
  std::optional<std::map<std::string, std::string>> attributes = readStringMap(*reply);
  return attributes && documentAddress(*attributes);
}

// True when the showing frames hold at least one web document and each has its address.
bool documentsAreThere(ApplicationLink& link, const std::vector<ObjectReference>& frames) {
  std::vector<ObjectReference> documents;
  for (const ObjectReference& frame : frames) {
    if (isShowing(link, frame)) findDocuments(link, frame, documents);
  }
  if (documents.empty()) return false;
  for (const ObjectReference& document : documents) {
    if (!hasAddress(link, document)) return false;
  }
  return true;
}

}  // namespace

std::vector<ObjectReference> applicationFrames(ApplicationLink& link) {
  std::vector<ObjectReference> children = childrenOf(link, link.root());
  std::vector<std::uint32_t> roles = rolesOf(link, children);
  std::vector<ObjectReference> frames;
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (roles[i] == ATSPI_ROLE_FRAME) frames.push_back(std::move(children[i]));
  }
  return frames;
}

void wakeTree(ApplicationLink& link, std::chrono::milliseconds patience) {
  std::vector<ObjectReference> frames = applicationFrames(link);
  if (!isAsleep(link, frames)) return;
  link.request(Request::kAttributes, link.root());
  const Clock::time_point start = Clock::now();
  // A small tree looks asleep too; one that does not grow once it has been asked was awake.
  while (isAsleep(link, frames)) {
    if (Clock::now() - start >= kGrowPatience) return;
    std::this_thread::sleep_for(kPollInterval);
  }
  while (!documentsAreThere(link, frames) && Clock::now() - start < patience) {
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace velmuro::linux_desktop
