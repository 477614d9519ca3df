// Times the Zoom reader's clipboard round on its own, on a private X server: the save of a
// clipboard that an owner of the tests' own holds (a 1 MiB image, plain text and HTML, the image
// by INCR), the restore (the clear, and the write that returns once the serving process owns the
// selection), and a client that reads every target back from the serving process.
//
//   clipboard_restore_latency [runs] [image bytes]      (default 20 runs of 1 MiB)
//
// Medians over the runs; each run starts a fresh owner, outside the timing.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "figures.h"
#include "platform/linux/clipboard/linux_pasteboard.h"
#include "platform/linux/test_process.h"

using velmuro::linux_desktop::LinuxPasteboard;
using velmuro::platform::Bytes;
using velmuro::platform::NewPasteboardItem;
using velmuro::platform::PasteboardItem;
using velmuro::testing::Environment;
using velmuro::testing::Process;
using velmuro::testing::TemporaryDirectory;

namespace {

using velmuro::bench::median;
using velmuro::bench::milliseconds;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string writeFile(const TemporaryDirectory& directory, const std::string& name,
                      const std::string& bytes) {
  std::string path = directory.path() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// Every item with every type the pasteboard gives, as the reader saves it.
std::vector<NewPasteboardItem> save(LinuxPasteboard& pasteboard) {
  std::vector<NewPasteboardItem> snapshot;
  for (const PasteboardItem& item : pasteboard.items()) {
    NewPasteboardItem saved;
    for (const std::string& type : pasteboard.types(item)) {
      if (std::optional<Bytes> data = pasteboard.dataForType(item, type)) {
        saved.emplace_back(type, std::move(*data));
      }
    }
    snapshot.push_back(std::move(saved));
  }
  return snapshot;
}

struct Samples {
  std::vector<double> save, restore, read, total;
  int failures = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::size_t imageBytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1 << 20;
  std::string error;
  // An X server is all it needs.
  std::optional<Environment> desktop = velmuro::testing::startScriptedService(
      "desktop", {"--no-accessibility"}, "DESKTOP_DIR", &error);
  if (!desktop) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  ::setenv("DISPLAY", desktop->at("DISPLAY").c_str(), 1);
  TemporaryDirectory directory;
  std::string image(imageBytes, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 7 + i / 251));
  const std::vector<std::string> offers{
      "UTF8_STRING=" + writeFile(directory, "text", "https://example.zoom.us/j/123456789?pwd=x"),
      "text/html=" + writeFile(directory, "html", "<p>Caf\xC3\xA9 \xE2\x82\xAC</p>"),
      "image/png=" + writeFile(directory, "image", image)};

  Samples s;
  for (int run = 0; run < runs; ++run) {
    std::vector<std::string> arguments{"own"};
    arguments.insert(arguments.end(), offers.begin(), offers.end());
    Process owner(VELMURO_CLIPBOARD_BINARY, arguments, *desktop);
    if (owner.readLine(5s) != "owned") {
      ++s.failures;
      continue;
    }
    LinuxPasteboard tool;
    LinuxPasteboard client;
    // Both connected before the clock starts, as they are by the time it matters.
    tool.changeCount();
    client.changeCount();

    Clock::time_point start = Clock::now();
    std::vector<NewPasteboardItem> snapshot = save(tool);
    Clock::time_point saved = Clock::now();
    tool.clearContents();
    tool.writeObjects(snapshot);
    Clock::time_point restored = Clock::now();
    std::vector<NewPasteboardItem> readBack = save(client);
    Clock::time_point read = Clock::now();

    if (snapshot.size() != 1 || snapshot[0].size() != 3 || readBack != snapshot) {
      ++s.failures;
      continue;
    }
    s.save.push_back(milliseconds(saved - start));
    s.restore.push_back(milliseconds(restored - saved));
    s.read.push_back(milliseconds(read - restored));
    s.total.push_back(milliseconds(read - start));
  }
  std::printf("\nClipboard round, %zu-byte image + text + HTML, %d runs (medians)\n", imageBytes,
              runs);
  std::printf("  save (TARGETS and 3 targets, image by INCR)  %8.2f ms\n", median(s.save));
  std::printf("  restore (clear, write until served)          %8.2f ms\n", median(s.restore));
  std::printf("  a client reads every target back             %8.2f ms\n", median(s.read));
  std::printf("  all three                                    %8.2f ms\n", median(s.total));
  if (s.failures > 0) std::printf("  failed runs: %d\n", s.failures);
  velmuro::testing::stopScriptedService("desktop", desktop->at("DESKTOP_DIR"));
  return s.failures == 0 ? 0 : 1;
}
