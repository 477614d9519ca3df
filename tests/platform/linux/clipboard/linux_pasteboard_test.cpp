// The pasteboard over the X11 CLIPBOARD, through the seam, on a private X server with clipboard
// owners of the tests' own (and xclip as another client).
#include "platform/linux/clipboard/linux_pasteboard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform/linux/clipboard/clipboard_desktop.h"

namespace velmuro::testing {
namespace {

using namespace std::chrono_literals;
using linux_desktop::ClipboardLimits;
using linux_desktop::LinuxPasteboard;
using platform::Bytes;
using platform::PasteboardItem;
using Clock = std::chrono::steady_clock;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

const std::string kHtml = "<p>Caf\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC</p>";

class LinuxPasteboardTest : public ClipboardTest {
 protected:
  // The one item, which every test here expects.
  PasteboardItem onlyItem(LinuxPasteboard& pasteboard) {
    std::vector<PasteboardItem> items = pasteboard.items();
    EXPECT_EQ(items.size(), 1u);
    return items.empty() ? PasteboardItem() : items.front();
  }
};

TEST_F(LinuxPasteboardTest, SavesEveryTargetTheOwnerOffersWithItsBytes) {
  const std::string png = binaryBytes(600 * 1024);  // above 256 KiB: sent by INCR
  const std::string numbers("\x01\x00\x00\x00\xFF\xFF\xFF\xFF\x2A\x00\x00\x00", 12);
  auto owner = startOwner(
      {"text/plain=" + writeFile("plain", "plain text"),
       "UTF8_STRING=" + writeFile("utf8", "utf8 \xC3\xA9t\xC3\xA9"),
       "text/html=" + writeFile("html", kHtml), "image/png=" + writeFile("png", png), "--refuse",
       "application/x-refused",
       // The protocol's own targets are no data.
       "--refuse", "MULTIPLE", "--refuse", "SAVE_TARGETS", "--refuse", "DELETE", "--refuse",
       "INSERT_PROPERTY", "application/x-numbers:INTEGER:32=" + writeFile("numbers", numbers),
       // Listed twice, saved once.
       "text/plain=" + writeFile("plain2", "second")});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  EXPECT_EQ(pasteboard.types(item),
            (std::vector<std::string>{"text/plain", "UTF8_STRING", "text/html", "image/png",
                                      "application/x-refused", "application/x-numbers"}));
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("plain text"));
  EXPECT_EQ(pasteboard.dataForType(item, "UTF8_STRING"), bytesOf("utf8 \xC3\xA9t\xC3\xA9"));
  EXPECT_EQ(pasteboard.dataForType(item, "text/html"), bytesOf(kHtml));
  EXPECT_EQ(pasteboard.dataForType(item, "image/png"), bytesOf(png));
  EXPECT_EQ(pasteboard.dataForType(item, "application/x-refused"), std::nullopt);
  EXPECT_EQ(pasteboard.dataForType(item, "application/x-numbers"), bytesOf(numbers));
  // Never offered, and never known to the server.
  EXPECT_EQ(pasteboard.dataForType(item, "application/x-velmuro-never-named"), std::nullopt);
  // Reading takes nothing from the owner.
  EXPECT_EQ(pasteboard.changeCount(), 0);
}

TEST_F(LinuxPasteboardTest, WithoutAnOwnerThereIsNoItemAndNoString) {
  LinuxPasteboard pasteboard;
  EXPECT_TRUE(pasteboard.items().empty());
  EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), std::nullopt);
  EXPECT_EQ(pasteboard.changeCount(), 0);
}

TEST_F(LinuxPasteboardTest, TheStringIsTheUtf8TextElseTheLatin1String) {
  LinuxPasteboard pasteboard;
  const std::string type = platform::kPasteboardTypeString;
  {
    // Both offered: UTF8_STRING wins, made valid UTF-8, white space kept.
    auto owner = startOwner({"STRING=" + writeFile("latin", "latin"),
                             "UTF8_STRING=" + writeFile("utf8", " https://x.zoom.us/j/1 \xFF\n")});
    EXPECT_EQ(pasteboard.stringForType(type), " https://x.zoom.us/j/1 \xEF\xBF\xBD\n");
    EXPECT_EQ(pasteboard.stringForType("public.html"), std::nullopt);
  }
  {
    // UTF8_STRING answered as something else is not taken for UTF-8; STRING is Latin-1.
    auto owner = startOwner({"UTF8_STRING:COMPOUND_TEXT:8=" + writeFile("compound", "\x1B%G"),
                             "STRING=" + writeFile("latin", "caf\xE9 \xB5")});
    EXPECT_EQ(pasteboard.stringForType(type), "caf\xC3\xA9 \xC2\xB5");
  }
  {
    auto owner = startOwner({"image/png=" + writeFile("png", binaryBytes(100)), "--refuse",
                             "UTF8_STRING", "--refuse", "STRING"});
    EXPECT_EQ(pasteboard.stringForType(type), std::nullopt);
  }
}

TEST_F(LinuxPasteboardTest, TheCountSeesEveryOwnerChangeFromTheFirstCallOnTheToolsOwnToo) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain")});
  LinuxPasteboard pasteboard;
  // Counted from the first call: the owner that came before is no step.
  EXPECT_EQ(pasteboard.changeCount(), 0);
  // An owner that takes the selection again (a toolkit setting its text twice) is a step.
  owner->write("again\n");
  ASSERT_EQ(owner->readLine(5s), "again");
  EXPECT_EQ(pasteboard.changeCount(), 1);
  auto xclip = copyWithXclip("text/plain", writeFile("other", "other"));
  EXPECT_EQ(owner->readLine(5s), "lost");
  EXPECT_EQ(pasteboard.changeCount(), 2);
  // The tool's own clear is counted by the very next read, and leaves no owner.
  pasteboard.clearContents();
  EXPECT_EQ(pasteboard.changeCount(), 3);
  EXPECT_TRUE(pasteboard.items().empty());
  EXPECT_EQ(xclip->wait(5s), 0) << "xclip ends when it loses the selection";
  // Clearing an empty clipboard is a step as well, as on macOS.
  pasteboard.clearContents();
  EXPECT_EQ(pasteboard.changeCount(), 4);
  // An owner that dies: its taking is one step, its going another.
  auto dying = startOwner({"text/plain=" + writeFile("dying", "dying")});
  EXPECT_EQ(pasteboard.changeCount(), 5);
  dying->signal(SIGKILL);
  EXPECT_TRUE(eventually([&] { return pasteboard.changeCount() == 6; }));
}

TEST_F(LinuxPasteboardTest, AnItemOfAnEarlierOwnerGivesNothing) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain")});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  auto xclip = copyWithXclip("text/plain", writeFile("other", "other"));
  EXPECT_TRUE(pasteboard.types(item).empty());
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), std::nullopt);
  // A fresh item is the new owner's.
  PasteboardItem fresh = onlyItem(pasteboard);
  EXPECT_EQ(pasteboard.dataForType(fresh, "text/plain"), bytesOf("other"));
}

TEST_F(LinuxPasteboardTest, AClipboardThatChangesDuringTheSaveKeepsOnlyWhatCameBefore) {
  // Asked for text/html, the owner first moves the selection to another window of its own.
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain"), "--yield", "text/html",
                           "image/png=" + writeFile("png", binaryBytes(1000))});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  ASSERT_EQ(pasteboard.types(item),
            (std::vector<std::string>{"text/plain", "text/html", "image/png"}));
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("plain"));
  EXPECT_EQ(pasteboard.dataForType(item, "text/html"), std::nullopt);
  EXPECT_EQ(pasteboard.dataForType(item, "image/png"), std::nullopt);
  EXPECT_EQ(pasteboard.changeCount(), 1);
}

TEST_F(LinuxPasteboardTest, AnOwnerThatNeverAnswersCostsOneAnswerBoundAndTheRestIsSaved) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain"), "--silent",
                           "application/x-silent", "text/html=" + writeFile("html", kHtml)});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  auto start = Clock::now();
  EXPECT_EQ(pasteboard.dataForType(item, "application/x-silent"), std::nullopt);
  EXPECT_GE(since(start), 450ms);
  EXPECT_LT(since(start), 1500ms);
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("plain"));
  EXPECT_EQ(pasteboard.dataForType(item, "text/html"), bytesOf(kHtml));
}

TEST_F(LinuxPasteboardTest, AnOwnerThatAnswersNothingGivesAnItemWithoutTypes) {
  auto owner = startOwner({"--silent", "TARGETS", "text/plain=" + writeFile("plain", "plain")});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  auto start = Clock::now();
  EXPECT_TRUE(pasteboard.types(item).empty());
  EXPECT_LT(since(start), 1500ms);
}

TEST_F(LinuxPasteboardTest, AnOwnerThatDiesMidTransferGivesNothingAtOnce) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain"), "--die", "image/png"});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("plain"));
  auto start = Clock::now();
  EXPECT_EQ(pasteboard.dataForType(item, "image/png"), std::nullopt);
  // Its going is reported at once; no answer bound is waited out.
  EXPECT_LT(since(start), 400ms);
  EXPECT_EQ(owner->wait(1s), 0);
  EXPECT_TRUE(pasteboard.items().empty());
}

TEST_F(LinuxPasteboardTest, DataPastTheByteLimitIsDroppedWholeAndWhatFitsIsKept) {
  const std::string png = binaryBytes(600000);
  const std::string big = binaryBytes(200000);  // below 256 KiB: one property, no INCR
  const std::vector<std::string> offers{
      "text/plain=" + writeFile("plain", "0123456789"), "image/png=" + writeFile("png", png),
      "text/html=" + writeFile("html", "0123456789abcdef"), "image/bmp=" + writeFile("bmp", big)};
  for (const char* announce : {"600000", "0"}) {
    // With an honest announcement the transfer is refused before it starts; with one too low,
    // as the protocol allows, at the chunk that passes the limit.
    std::vector<std::string> arguments{"--announce", announce};
    arguments.insert(arguments.end(), offers.begin(), offers.end());
    auto owner = startOwner(arguments);
    {
      // All four fit exactly.
      LinuxPasteboard pasteboard({500ms, 2000ms, 10 + 600000 + 16 + 200000});
      PasteboardItem item = onlyItem(pasteboard);
      for (const std::string& type : pasteboard.types(item)) {
        EXPECT_TRUE(pasteboard.dataForType(item, type)) << type << " announcing " << announce;
      }
    }
    LinuxPasteboard pasteboard({500ms, 2000ms, 10 + 600000 + 16 + 200000 - 1});
    PasteboardItem item = onlyItem(pasteboard);
    EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("0123456789"));
    EXPECT_EQ(pasteboard.dataForType(item, "image/png"), bytesOf(png)) << announce;
    EXPECT_EQ(pasteboard.dataForType(item, "text/html"), bytesOf("0123456789abcdef"));
    // One byte short for the last: dropped, not cut.
    EXPECT_EQ(pasteboard.dataForType(item, "image/bmp"), std::nullopt) << announce;
    // The limit is on the whole item: png no longer fits once the others are in.
    EXPECT_EQ(pasteboard.dataForType(item, "image/png"), std::nullopt) << announce;
    EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("0123456789"));
    // A single property larger than the limit goes the same way.
    LinuxPasteboard small({500ms, 2000ms, 100000});
    PasteboardItem smallItem = onlyItem(small);
    EXPECT_EQ(small.dataForType(smallItem, "image/bmp"), std::nullopt);
    EXPECT_EQ(small.dataForType(smallItem, "text/html"), bytesOf("0123456789abcdef"));
  }
}

TEST_F(LinuxPasteboardTest, AnEndlessTransferEndsWithTheSaveBudget) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain"), "--drip",
                           "application/x-drip", "text/html=" + writeFile("html", kHtml)});
  LinuxPasteboard pasteboard({500ms, 800ms, 1 << 20});
  auto start = Clock::now();
  PasteboardItem item = onlyItem(pasteboard);
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), bytesOf("plain"));
  // One byte every 100 ms: each chunk within the answer bound, the whole never done.
  EXPECT_EQ(pasteboard.dataForType(item, "application/x-drip"), std::nullopt);
  EXPECT_GE(since(start), 750ms);
  EXPECT_LT(since(start), 1500ms);
  // The budget is spent: nothing more is asked for.
  EXPECT_EQ(pasteboard.dataForType(item, "text/html"), std::nullopt);
}

TEST_F(LinuxPasteboardTest, WriteObjectsReturnsOnceTheServingProcessOwnsTheSelection) {
  const std::string png = binaryBytes(300000);
  LinuxPasteboard pasteboard;
  EXPECT_EQ(pasteboard.changeCount(), 0);
  pasteboard.writeObjects({{{"text/plain", bytesOf("first")}, {"image/png", bytesOf(png)}},
                           {{"text/plain", bytesOf("ignored: the first of a name wins")},
                            {"text/html", bytesOf(kHtml)},
                            {"TARGETS", bytesOf("the protocol's own are not data")}}});
  // Owned, and counted, when the call returns.
  EXPECT_EQ(pasteboard.changeCount(), 1);
  std::optional<pid_t> server = servingProcess();
  ASSERT_TRUE(server);
  EXPECT_NE(*server, ::getpid());
  EXPECT_TRUE(isAlive(*server));
  PastedClipboard pasted = paste();
  EXPECT_EQ(pasted.targets, (std::vector<std::string>{"TARGETS", "TIMESTAMP", "MULTIPLE",
                                                      "text/plain", "image/png", "text/html"}));
  EXPECT_EQ(pasted.data["text/plain"], (PastedTarget{"text/plain", 8, "first", false}));
  EXPECT_EQ(pasted.data["image/png"], (PastedTarget{"image/png", 8, png, true}));
  EXPECT_EQ(pasted.data["text/html"], (PastedTarget{"text/html", 8, kHtml, false}));
  // A second write replaces the first serving process.
  pasteboard.writeObjects({{{"text/plain", bytesOf("second")}}});
  EXPECT_EQ(pasteboard.changeCount(), 2);
  EXPECT_TRUE(eventually([&] { return !isAlive(*server); }));
  EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), std::nullopt);
  EXPECT_EQ(paste().data["text/plain"].bytes, "second");
}

TEST_F(LinuxPasteboardTest, ARestoreAnswersWithTheTypeAndFormatTheOwnerGave) {
  const std::string numbers("\x01\x00\x00\x00\xFF\xFF\xFF\xFF", 8);
  {
    auto owner = startOwner({"TEXT:UTF8_STRING:8=" + writeFile("text", "caf\xC3\xA9"),
                             "application/x-numbers:INTEGER:32=" + writeFile("numbers", numbers),
                             "application/x-pairs:CARDINAL:16=" + writeFile("pairs", "\x01\x02")});
    LinuxPasteboard pasteboard;
    PasteboardItem item = onlyItem(pasteboard);
    std::vector<platform::NewPasteboardItem> snapshot(1);
    for (const std::string& type : pasteboard.types(item)) {
      snapshot[0].emplace_back(type, pasteboard.dataForType(item, type).value_or(Bytes{}));
    }
    pasteboard.clearContents();
    pasteboard.writeObjects(snapshot);
    EXPECT_EQ(owner->readLine(5s), "lost");
  }
  PastedClipboard pasted = paste();
  EXPECT_EQ(pasted.data["TEXT"], (PastedTarget{"UTF8_STRING", 8, "caf\xC3\xA9", false}));
  EXPECT_EQ(pasted.data["application/x-numbers"], (PastedTarget{"INTEGER", 32, numbers, false}));
  EXPECT_EQ(pasted.data["application/x-pairs"], (PastedTarget{"CARDINAL", 16, "\x01\x02", false}));
}

TEST(LinuxPasteboardWithoutDisplayTest, EveryCallFailsQuietlyAndAtOnce) {
  for (const char* display : {"", ":4093", "/nonexistent/socket:0"}) {
    if (*display == '\0') {
      ::unsetenv("DISPLAY");
    } else {
      ::setenv("DISPLAY", display, 1);
    }
    auto start = Clock::now();
    LinuxPasteboard pasteboard;
    EXPECT_TRUE(pasteboard.items().empty()) << display;
    EXPECT_TRUE(pasteboard.types(PasteboardItem()).empty());
    EXPECT_EQ(pasteboard.dataForType(PasteboardItem(), "text/plain"), std::nullopt);
    pasteboard.clearContents();
    EXPECT_EQ(pasteboard.changeCount(), 0);
    EXPECT_EQ(pasteboard.stringForType(platform::kPasteboardTypeString), std::nullopt);
    pasteboard.writeObjects({{{"text/plain", bytesOf("lost")}}});
    EXPECT_EQ(pasteboard.changeCount(), 0);
    EXPECT_LT(since(start), 500ms) << display;
  }
}

TEST_F(LinuxPasteboardTest, AServerThatStopsAnsweringCostsACallOneSecondThenCallsFailAtOnce) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain")});
  LinuxPasteboard connected;
  EXPECT_EQ(connected.changeCount(), 0);
  const pid_t server = xServer();
  ASSERT_GT(server, 0);
  ASSERT_EQ(::kill(server, SIGSTOP), 0);
  auto start = Clock::now();
  EXPECT_EQ(connected.changeCount(), 0);
  EXPECT_GE(since(start), 900ms);
  EXPECT_LT(since(start), 2000ms);
  start = Clock::now();
  EXPECT_TRUE(connected.items().empty());
  EXPECT_EQ(connected.stringForType(platform::kPasteboardTypeString), std::nullopt);
  EXPECT_LT(since(start), 100ms);
  // Connecting to a server that does not answer is bounded the same way.
  start = Clock::now();
  LinuxPasteboard connecting;
  EXPECT_TRUE(connecting.items().empty());
  EXPECT_LT(since(start), 2000ms);
  ::kill(server, SIGCONT);
  // The server answers again, but a connection given up stays given up.
  EXPECT_EQ(connected.changeCount(), 0);
  EXPECT_TRUE(connected.items().empty());
}

TEST_F(LinuxPasteboardTest, AServerThatGoesLeavesEveryCallFailingQuietly) {
  auto owner = startOwner({"text/plain=" + writeFile("plain", "plain")});
  LinuxPasteboard pasteboard;
  PasteboardItem item = onlyItem(pasteboard);
  owner->write("again\n");
  ASSERT_EQ(owner->readLine(5s), "again");
  EXPECT_EQ(pasteboard.changeCount(), 1);
  stopDesktop();
  auto start = Clock::now();
  EXPECT_TRUE(pasteboard.types(item).empty());
  EXPECT_EQ(pasteboard.dataForType(item, "text/plain"), std::nullopt);
  EXPECT_TRUE(pasteboard.items().empty());
  pasteboard.clearContents();
  pasteboard.writeObjects({{{"text/plain", bytesOf("lost")}}});
  EXPECT_EQ(pasteboard.changeCount(), 1);
  EXPECT_LT(since(start), 500ms);
}

}  // namespace
}  // namespace velmuro::testing
