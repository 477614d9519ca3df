// Saves the clipboard through the tool's own pasteboard, clears it and writes the saved item
// back, as the Zoom reader does around its press, then exits: the tests' way to run a restore in
// a process of its own and look at what serves the clipboard after it has gone.
//
//   velmuro-pasteboard-restore
//
// Prints "saved TYPE SIZE" for each type saved, "cleared N" and "restored N" with the change
// count after the clear and after the write (counted from the first call), then "done".
#include <cstdio>
#include <optional>

#include "platform/linux/clipboard/linux_pasteboard.h"

int main() {
  velmuro::linux_desktop::LinuxPasteboard pasteboard;
  std::vector<velmuro::platform::NewPasteboardItem> snapshot;
  for (const velmuro::platform::PasteboardItem& item : pasteboard.items()) {
    velmuro::platform::NewPasteboardItem saved;
    for (const std::string& type : pasteboard.types(item)) {
      if (std::optional<velmuro::platform::Bytes> data = pasteboard.dataForType(item, type)) {
        std::printf("saved %s %zu\n", type.c_str(), data->size());
        saved.emplace_back(type, std::move(*data));
      }
    }
    snapshot.push_back(std::move(saved));
  }
  pasteboard.clearContents();
  std::printf("cleared %lld\n", static_cast<long long>(pasteboard.changeCount()));
  if (!snapshot.empty()) pasteboard.writeObjects(snapshot);
  std::printf("restored %lld\ndone\n", static_cast<long long>(pasteboard.changeCount()));
  return 0;
}
