// The restore as a process of its own, as the tool runs it: velmuro-pasteboard-restore saves the
// clipboard through the tool's pasteboard, clears it, writes it back and exits. What serves the
// clipboard afterwards is looked at from outside: the tests' reader, xclip and GTK.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/linux/clipboard/clipboard_desktop.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;

const std::string kHtml = "<p>Caf\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC</p>";
const std::vector<std::string> kDataTargets{"text/plain", "UTF8_STRING", "text/html", "image/png"};

std::string readWhole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

struct RestoreRun {
  std::vector<std::string> lines;
  bool outputEnded = false;
  std::optional<int> exitStatus;
};

class ClipboardRestoreTest : public ClipboardTest {
 protected:
  // The owner of every test that needs a full clipboard: several targets at once, one of them
  // large enough for INCR, one refused.
  std::unique_ptr<Process> startFullOwner() {
    png_ = binaryBytes(600 * 1024);
    return startOwner(
        {"text/plain=" + writeFile("plain", "plain text"),
         "UTF8_STRING=" + writeFile("utf8", "https://example.zoom.us/j/1?pwd=\xC3\xA9"),
         "text/html=" + writeFile("html", kHtml), "image/png=" + writeFile("png", png_), "--refuse",
         "application/x-refused"});
  }

  RestoreRun restore() {
    Process tool(VELMURO_RESTORE_BINARY, {}, environment());
    tool.closeInput();
    RestoreRun run;
    while (std::optional<std::string> line = tool.readLine(5s)) {
      run.lines.push_back(*line);
      if (*line == "done") break;
    }
    // A host that waits for the end of the tool's output must not wait on the serving process.
    run.outputEnded = tool.outputEndsWithin(2s);
    run.exitStatus = tool.wait(2s);
    return run;
  }

  std::string png_;
};

TEST_F(ClipboardRestoreTest, EveryTargetIsServedByteForByteAfterTheToolHasGone) {
  auto owner = startFullOwner();
  PastedClipboard before = paste();
  ASSERT_EQ(before.data["image/png"].bytes, png_);
  ASSERT_TRUE(before.data["image/png"].incr);

  RestoreRun run = restore();
  EXPECT_EQ(run.lines, (std::vector<std::string>{"saved text/plain 10", "saved UTF8_STRING 34",
                                                 "saved text/html " + std::to_string(kHtml.size()),
                                                 "saved image/png 614400", "cleared 1",
                                                 "restored 2", "done"}));
  EXPECT_TRUE(run.outputEnded) << "something still holds the tool's output";
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(owner->readLine(5s), "lost");

  PastedClipboard after = paste();
  // Exactly the saved targets, in their order, after the protocol's own; the refused one is gone.
  EXPECT_EQ(after.targets,
            (std::vector<std::string>{"TARGETS", "TIMESTAMP", "MULTIPLE", "text/plain",
                                      "UTF8_STRING", "text/html", "image/png"}));
  for (const std::string& target : kDataTargets) {
    EXPECT_EQ(after.data[target], before.data[target]) << target;
  }
  EXPECT_EQ(after.data["TIMESTAMP"].type, "INTEGER");
  EXPECT_EQ(after.data["TIMESTAMP"].bytes.size(), 4u);
  EXPECT_TRUE(after.refused.empty());
  // The same through one MULTIPLE request, which refuses only what is not there.
  PastedClipboard multiple = paste(true);
  for (const std::string& target : kDataTargets) {
    EXPECT_EQ(multiple.data[target], before.data[target]) << target;
  }
  EXPECT_EQ(multiple.refused, std::vector<std::string>{"VELMURO_NO_SUCH_TARGET"});
  // And to a client of another make.
  auto [out, status] =
      runToEnd("/bin/sh",
               {"-c", "exec /usr/bin/xclip -selection clipboard -o -t image/png >\"$0\"",
                directory_.path() + "/xclip.png"},
               environment());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readWhole(directory_.path() + "/xclip.png"), png_);

  // The serving process: in a session of its own, holding the null device and its connection.
  std::optional<pid_t> server = servingProcess();
  ASSERT_TRUE(server);
  EXPECT_TRUE(isAlive(*server));
  EXPECT_EQ(::getsid(*server), *server);
  std::set<std::string> descriptors;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(*server) + "/fd")) {
    std::string target = std::filesystem::read_symlink(entry.path());
    descriptors.insert(entry.path().filename().string() + " " +
                       (target.rfind("socket:", 0) == 0 ? "socket" : target));
  }
  EXPECT_EQ(descriptors,
            (std::set<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null", "3 socket"}));

  // Another client copies: the serving process ends.
  auto xclip = copyWithXclip("text/plain", writeFile("new", "new"));
  EXPECT_TRUE(eventually([&] { return !isAlive(*server); }, 1s));
}

TEST_F(ClipboardRestoreTest, AGtkApplicationPastesTheRestoredClipboard) {
  auto owner = startFullOwner();
  ASSERT_EQ(restore().exitStatus, 0);
  std::string dir = directory_.path() + "/gtk";
  std::filesystem::create_directories(dir);
  std::vector<std::string> arguments{
      std::string(VELMURO_SOURCE_DIR) + "/tests/platform/linux/clipboard/gtk_paste.py", dir};
  arguments.insert(arguments.end(), kDataTargets.begin(), kDataTargets.end());
  auto [out, status] = runToEnd("/usr/bin/python3", arguments, environment());
  ASSERT_EQ(status, 0) << "GTK 3 for /usr/bin/python3 (python3-gi, gir1.2-gtk-3.0) is missing";
  EXPECT_EQ(out,
            "targets TARGETS TIMESTAMP MULTIPLE text/plain UTF8_STRING text/html image/png\n"
            "text 'https://example.zoom.us/j/1?pwd=\xC3\xA9'\n");
  EXPECT_EQ(readWhole(dir + "/text%html"), kHtml);
  EXPECT_EQ(readWhole(dir + "/image%png"), png_);
  EXPECT_EQ(readWhole(dir + "/text%plain"), "plain text");
}

TEST_F(ClipboardRestoreTest, AClipboardOfAnotherMakeComesBackToo) {
  const std::string png = binaryBytes(700 * 1024);
  auto xclip = copyWithXclip("image/png", writeFile("png", png));
  RestoreRun run = restore();
  EXPECT_EQ(run.lines, (std::vector<std::string>{"saved image/png 716800", "cleared 1",
                                                 "restored 2", "done"}));
  EXPECT_EQ(xclip->wait(5s), 0) << "xclip ends when it loses the selection";
  PastedClipboard after = paste();
  EXPECT_EQ(after.data["image/png"], (PastedTarget{"image/png", 8, png, true}));
}

TEST_F(ClipboardRestoreTest, AnEmptyClipboardIsLeftEmpty) {
  RestoreRun run = restore();
  EXPECT_EQ(run.lines, (std::vector<std::string>{"cleared 1", "restored 1", "done"}));
  EXPECT_EQ(servingProcess(), std::nullopt);
  EXPECT_EQ(paste().status, 1) << "the clipboard has an owner";
}

TEST_F(ClipboardRestoreTest, AnItemWithoutReadableDataComesBackWithoutData) {
  auto owner = startOwner({"--refuse", "text/plain", "--refuse", "image/png"});
  RestoreRun run = restore();
  EXPECT_EQ(run.lines, (std::vector<std::string>{"cleared 1", "restored 2", "done"}));
  PastedClipboard after = paste();
  EXPECT_EQ(after.targets, (std::vector<std::string>{"TARGETS", "TIMESTAMP", "MULTIPLE"}));
  EXPECT_TRUE(servingProcess());
}

TEST_F(ClipboardRestoreTest, TheServingProcessEndsWithTheServer) {
  auto owner = startFullOwner();
  ASSERT_EQ(restore().exitStatus, 0);
  std::optional<pid_t> server = servingProcess();
  ASSERT_TRUE(server);
  stopDesktop();
  EXPECT_TRUE(eventually([&] { return !isAlive(*server); }, 2s));
}

}  // namespace
}  // namespace velmuro::testing
