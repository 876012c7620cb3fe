#include "store/pending_write_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

using nlohmann::json;

// 2001-01-01T00:00:00Z as milliseconds since 1970.
constexpr std::int64_t kReferenceMs = 978'307'200'000;

PendingMemoryWrite numbered(int i) {
  return {.body = "write " + std::to_string(i),
          .queuedAt = platform::Instant(std::chrono::milliseconds(kReferenceMs + i * 1000))};
}

std::vector<std::string> bodies(const std::vector<PendingMemoryWrite>& writes) {
  std::vector<std::string> out;
  for (const auto& w : writes) out.push_back(w.body);
  return out;
}

std::vector<std::string> numberedBodies(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back("write " + std::to_string(i));
  return out;
}

class PendingQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(home_.dataDirectory()); }

  std::filesystem::path file() const { return home_.dataDirectory() / "pending-writes.json"; }
  std::vector<PendingMemoryWrite> fileEntries() const {
    auto bytes = platform::readFile(file());
    if (!bytes) return {};
    return decodePendingWrites(*bytes).value_or(std::vector<PendingMemoryWrite>{});
  }
  void fill(PendingWriteQueue& queue, int n, int first = 0) const {
    for (int i = first; i < first + n; ++i) queue.enqueue(numbered(i));
  }

  testing::TempHome home_;
};

TEST(PendingWriteCoding, OptionalFieldsWithoutValueHaveNoKey) {
  PendingMemoryWrite bare{
      .body = "b", .queuedAt = platform::Instant(std::chrono::milliseconds(kReferenceMs + 10'000))};
  json decoded = json::parse(encodePendingWrites({bare}));
  ASSERT_TRUE(decoded.is_array());
  EXPECT_EQ(decoded[0], (json{{"body", "b"},
                              {"tier", "episodic"},
                              {"type", "observation"},
                              {"importance", 5},
                              {"queuedAt", 10.0}}));

  PendingMemoryWrite full{"b",
                          MemoryTier::Procedural,
                          "/p",
                          MemoryType::KeyPoint,
                          "x,y",
                          -3,
                          "src/a.ts",
                          "s-1",
                          platform::Instant(std::chrono::milliseconds(kReferenceMs - 1500))};
  decoded = json::parse(encodePendingWrites({full}));
  EXPECT_EQ(decoded[0]["tier"], "procedural");
  EXPECT_EQ(decoded[0]["type"], "key_point");
  EXPECT_EQ(decoded[0]["project"], "/p");
  EXPECT_EQ(decoded[0]["contextPath"], "src/a.ts");
  EXPECT_EQ(decoded[0]["sourceSession"], "s-1");
  EXPECT_EQ(decoded[0]["importance"], -3);
  EXPECT_DOUBLE_EQ(decoded[0]["queuedAt"].get<double>(), -1.5);

  PendingMemoryWrite reviving = bare;
  reviving.reviveForgotten = true;
  decoded = json::parse(encodePendingWrites({reviving}));
  EXPECT_EQ(decoded[0]["reviveForgotten"], true);
  EXPECT_FALSE(json::parse(encodePendingWrites({full}))[0].contains("reviveForgotten"));

  EXPECT_EQ(decodePendingWrites(encodePendingWrites({bare, full, reviving})),
            (std::vector<PendingMemoryWrite>{bare, full, reviving}));
}

TEST(PendingWriteCoding, QueuedAtCountsFrom2001) {
  auto decoded = decodePendingWrites(
      R"([{"body":"b","tier":"episodic","type":"fact","importance":5,"queuedAt":10}])");
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_EQ(platform::sharedTimestampFormatter().format((*decoded)[0].queuedAt),
            "2001-01-01T00:00:10.000+0000");
  EXPECT_FALSE((*decoded)[0].reviveForgotten);  // as an earlier version wrote it
}

TEST(PendingWriteCoding, AnythingButCompleteEntriesDoesNotDecode) {
  struct Case {
    const char* name;
    std::string text;
    bool decodes;
  };
  const std::string ok =
      R"({"body":"b","tier":"cold","type":"state","importance":1,"queuedAt":0.5)";
  const Case cases[] = {
      {"empty array", "[]", true},
      {"complete", "[" + ok + "}]", true},
      {"null optional", "[" + ok + R"(,"tags":null})" + "]", true},
      {"extra key", "[" + ok + R"(,"other":1})" + "]", true},
      {"revival flag", "[" + ok + R"(,"reviveForgotten":true})" + "]", true},
      {"null revival flag", "[" + ok + R"(,"reviveForgotten":null})" + "]", true},
      {"revival flag as text", "[" + ok + R"(,"reviveForgotten":"yes"})" + "]", false},
      {"not JSON", "not json", false},
      {"empty file", "", false},
      {"object", ok + "}", false},
      {"unknown tier",
       R"([{"body":"b","tier":"archived","type":"fact","importance":1,"queuedAt":0}])", false},
      {"type case name",
       R"([{"body":"b","tier":"cold","type":"keyPoint","importance":1,"queuedAt":0}])", false},
      {"missing queuedAt", R"([{"body":"b","tier":"cold","type":"fact","importance":1}])", false},
      {"fractional importance",
       R"([{"body":"b","tier":"cold","type":"fact","importance":1.5,"queuedAt":0}])", false},
      {"numeric project", "[" + ok + R"(,"project":3})" + "]", false},
      {"one bad of two", "[" + ok + "}, 5]", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodePendingWrites(c.text).has_value(), c.decodes);
  }
}

TEST_F(PendingQueueTest, FileLivesInTheDataDirectory) {
  EXPECT_EQ(pendingWritesFilePath(), file());
}

TEST_F(PendingQueueTest, AppendUpTo25StaysInMemory) {
  PendingWriteQueue queue;
  fill(queue, 24);
  queue.enqueue(numbered(24));
  EXPECT_EQ(queue.size(), 25u);
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_EQ(queue.fileCount(), 0);
}

TEST_F(PendingQueueTest, The26thSpillsAllAndKeepsTheNewest25) {
  PendingWriteQueue queue;
  fill(queue, 26);
  EXPECT_EQ(bodies(fileEntries()), numberedBodies(0, 26));
  EXPECT_EQ(bodies(queue.items()), numberedBodies(1, 26));
  EXPECT_EQ(queue.fileCount(), 26);
}

TEST_F(PendingQueueTest, TwoAppendsAt25WriteOnlyTheNewWrite) {
  PendingWriteQueue queue;
  fill(queue, 27);
  EXPECT_EQ(bodies(fileEntries()), numberedBodies(0, 27));
  EXPECT_EQ(bodies(queue.items()), numberedBodies(2, 27));
  EXPECT_EQ(queue.fileCount(), 27);
}

// What the write path does at capacity: every write retries the held ones, which are refused
// and queued again with a new time, and is then refused itself. The file records each refused
// write once, however often it was retried.
TEST_F(PendingQueueTest, RetriedWritesAreRecordedOnce) {
  PendingWriteQueue queue;
  fill(queue, 25);
  for (int next = 25; next < 125; ++next) {
    for (PendingMemoryWrite retried : queue.takeAll()) {
      retried.queuedAt += std::chrono::seconds(1);
      queue.enqueue(std::move(retried));
    }
    queue.enqueue(numbered(next));
  }
  const auto entries = fileEntries();
  EXPECT_EQ(bodies(entries), numberedBodies(0, 125));
  EXPECT_EQ(queue.fileCount(), 125);
  // The file keeps the time the write had when it was first spilled.
  EXPECT_EQ(entries.front().queuedAt, numbered(0).queuedAt + std::chrono::seconds(1));
  EXPECT_EQ(bodies(queue.items()), numberedBodies(100, 125));
}

TEST_F(PendingQueueTest, AFileChangedElsewhereIsCountedAndAppendedAfresh) {
  PendingWriteQueue queue;
  fill(queue, 26);
  EXPECT_EQ(queue.fileCount(), 26);
  // Another program replaces the file; a removed file is a file without the held writes.
  platform::atomicWriteFile(file(), encodePendingWrites({numbered(500), numbered(501)}));
  EXPECT_EQ(queue.fileCount(), 2);
  queue.enqueue(numbered(26));
  auto want = numberedBodies(500, 502);
  want.push_back("write 26");
  EXPECT_EQ(bodies(fileEntries()), want);
  std::filesystem::remove(file());
  EXPECT_EQ(queue.fileCount(), 0);
  queue.enqueue(numbered(27));
  EXPECT_EQ(bodies(fileEntries()), numberedBodies(2, 28));
  EXPECT_EQ(queue.fileCount(), 26);
  // Text as another writer may leave it (spaces, an empty array) is appended to as well.
  platform::atomicWriteFile(file(), " [ ]\n");
  queue.enqueue(numbered(28));
  EXPECT_EQ(bodies(fileEntries()), numberedBodies(28, 29));
  EXPECT_EQ(queue.fileCount(), 1);
}

TEST_F(PendingQueueTest, ValidFileKeepsItsEntriesFirst) {
  platform::atomicWriteFile(file(), encodePendingWrites({numbered(100), numbered(101)}));
  PendingWriteQueue queue;
  fill(queue, 26);
  auto want = numberedBodies(100, 102);
  for (const auto& b : numberedBodies(0, 26)) want.push_back(b);
  EXPECT_EQ(bodies(fileEntries()), want);
}

TEST_F(PendingQueueTest, UndecodableFileIsSetAsideNotOverwritten) {
  const std::string contents[] = {
      "not json", R"({"body":"x"})",
      R"([{"body":"b","tier":"archived","type":"fact","importance":1,"queuedAt":0}])"};
  for (const auto& content : contents) {
    SCOPED_TRACE(content);
    for (const auto& entry : std::filesystem::directory_iterator(home_.dataDirectory())) {
      std::filesystem::remove(entry.path());
    }
    { std::ofstream(file()) << content; }
    PendingWriteQueue queue;
    EXPECT_EQ(queue.fileCount(), 0);

    fill(queue, 26);

    EXPECT_EQ(bodies(fileEntries()), numberedBodies(0, 26));
    std::vector<std::string> asideContents;
    for (const auto& entry : std::filesystem::directory_iterator(home_.dataDirectory())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("pending-writes.json.corrupt-", 0) == 0) {
        asideContents.push_back(platform::readFile(entry.path()).value_or(""));
      }
    }
    EXPECT_EQ(asideContents, std::vector<std::string>{content});
  }
}

TEST_F(PendingQueueTest, MissingDataDirectoryStillTrimsAndNeverThrows) {
  std::filesystem::remove_all(home_.dataDirectory());
  PendingWriteQueue queue;
  EXPECT_NO_THROW(fill(queue, 30));
  EXPECT_EQ(bodies(queue.items()), numberedBodies(5, 30));
  EXPECT_FALSE(std::filesystem::exists(home_.dataDirectory()));
}

TEST_F(PendingQueueTest, ConcurrentSpillersLoseNoEntries) {
  // Two queues stand for the two programs: each spill is a read-modify-write of the one file.
  constexpr int kSpillsEach = 15;
  auto spiller = [&](int first) {
    PendingWriteQueue queue;
    fill(queue, 25 + kSpillsEach, first);
  };
  std::thread a(spiller, 0);
  std::thread b(spiller, 1000);
  a.join();
  b.join();
  // Each queue's first spill writes its 26 writes, every later one only its newest.
  EXPECT_EQ(fileEntries().size(), static_cast<std::size_t>(2 * (26 + kSpillsEach - 1)));
}

TEST_F(PendingQueueTest, TwoQueuesHoldTheirOwnWritesAndTakeAllEmptiesOne) {
  PendingWriteQueue mine;
  PendingWriteQueue theirs;
  mine.enqueue(numbered(1));
  mine.enqueue(numbered(2));
  theirs.enqueue(numbered(3));
  EXPECT_EQ(bodies(mine.takeAll()), numberedBodies(1, 3));
  EXPECT_EQ(mine.size(), 0u);
  EXPECT_EQ(bodies(theirs.items()), numberedBodies(3, 4));
}

}  // namespace
}  // namespace nodrel::store
