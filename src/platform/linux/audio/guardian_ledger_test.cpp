#include "platform/linux/audio/guardian_ledger.h"

#include <gtest/gtest.h>

namespace velmuro::linux_desktop {
namespace {

// Applies records as the guardian reads them: one line each, without the line feed.
GuardianLedger applyAll(const std::string& records) {
  GuardianLedger ledger;
  std::size_t start = 0;
  for (std::size_t end; (end = records.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_TRUE(ledger.apply(records.substr(start, end - start)))
        << records.substr(start, end - start);
  }
  EXPECT_EQ(start, records.size()) << "every record ends with a line feed";
  return ledger;
}

TEST(GuardianLedgerTest, HoldsWhatTheToolMutedUntilItIsGivenBack) {
  GuardianLedger ledger = applyAll(streamHeldRecord(7, 4242) + streamHeldRecord(4294967295u, 1) +
                                   streamGivenBackRecord(7));
  EXPECT_EQ(ledger.streams, (std::map<std::uint32_t, pid_t>{{4294967295u, 1}}));
  EXPECT_FALSE(ledger.empty());
  ledger = applyAll(streamHeldRecord(3, 10) + streamGivenBackRecord(3) + streamGivenBackRecord(9));
  EXPECT_TRUE(ledger.empty());
}

TEST(GuardianLedgerTest, AnotherRunOfTheServerTakesItsStreamsAlongButNotTheProcesses) {
  GuardianLedger ledger = applyAll(serverRecord(4294967295u) + streamHeldRecord(7, 4242) +
                                   serverRecord(4294967295u) + memoryChangedRecord("name", false));
  EXPECT_EQ(ledger.server, 4294967295u);
  EXPECT_EQ(ledger.streams, (std::map<std::uint32_t, pid_t>{{7, 4242}})) << "the same server";
  ledger = applyAll(serverRecord(1) + streamHeldRecord(7, 4242) + streamGivenBackRecord(7) +
                    streamHeldRecord(8, 17) + serverRecord(2) + streamHeldRecord(3, 99) +
                    memoryChangedRecord("name", false));
  EXPECT_EQ(ledger.server, 2u);
  EXPECT_EQ(ledger.streams, (std::map<std::uint32_t, pid_t>{{3, 99}}));
  EXPECT_EQ(ledger.processes, (std::set<pid_t>{17, 99, 4242}));
  EXPECT_EQ(ledger.memory, (std::map<std::string, bool>{{"name", false}}));
}

TEST(GuardianLedgerTest, RemembersEachChangedMemoryNameByteForByte) {
  const std::string odd = "sink-input-by-application-name:A \\n\nB\\";
  GuardianLedger ledger =
      applyAll(memoryChangedRecord(odd, false) + memoryChangedRecord("plain", false) +
               memoryChangedRecord("plain", true) + memoryChangedRecord("gone", false) +
               memoryRestoredRecord("gone"));
  EXPECT_EQ(ledger.memory, (std::map<std::string, bool>{{odd, false}, {"plain", true}}));
  ledger.apply(memoryRestoredRecord(odd).substr(0, memoryRestoredRecord(odd).size() - 1));
  EXPECT_EQ(ledger.memory, (std::map<std::string, bool>{{"plain", true}}));
}

TEST(GuardianLedgerTest, RefusesWhatIsNoRecordAndChangesNothing) {
  GuardianLedger ledger;
  for (const char* record :
       {"",         "H",   "H 1",    "H x 2",    "H 1 2 3", "H 4294967296 1",  "H 1 2147483648",
        "H -1 5",   "G",   "G 1x",   "K 2 name", "K 0",     "K 0 bad\\escape", "K 0 trailing\\",
        "F bad\\q", "X 1", "H  1 2", "S",        "S -1",    "S 4294967296",    "S 1 2"}) {
    EXPECT_FALSE(ledger.apply(record)) << record;
  }
  EXPECT_TRUE(ledger.empty());
}

}  // namespace
}  // namespace velmuro::linux_desktop
