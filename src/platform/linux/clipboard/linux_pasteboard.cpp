#include "platform/linux/clipboard/linux_pasteboard.h"

namespace velmuro::linux_desktop {

std::vector<platform::PasteboardItem> LinuxPasteboard::items() { return {}; }

std::vector<std::string> LinuxPasteboard::types(const platform::PasteboardItem&) { return {}; }

std::optional<platform::Bytes> LinuxPasteboard::dataForType(const platform::PasteboardItem&,
                                                            const std::string&) {
  return std::nullopt;
}

void LinuxPasteboard::clearContents() {}

std::int64_t LinuxPasteboard::changeCount() { return 0; }

std::optional<std::string> LinuxPasteboard::stringForType(const std::string&) {
  return std::nullopt;
}

void LinuxPasteboard::writeObjects(const std::vector<platform::NewPasteboardItem>&) {}

}  // namespace velmuro::linux_desktop
