#include "store/write_path.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "db/error.h"
#include "platform/notifications.h"
#include "platform/time.h"
#include "platform/user_defaults.h"
#include "store/capacity.h"
#include "store/pending_write_queue.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

class Recorder {
 public:
  Recorder(std::string_view name, platform::NotificationCenter& center)
      : observer_(
            std::string(name), [this](const platform::Notification& n) { seen.push_back(n); },
            center) {}
  std::vector<std::int64_t> queuedCounts() const {
    std::vector<std::int64_t> out;
    for (const auto& n : seen) out.push_back(n.userInfo.at("queuedCount"));
    return out;
  }
  std::vector<platform::Notification> seen;

 private:
  platform::ScopedObserver observer_;
};

std::vector<std::string> bodies(const std::vector<PendingMemoryWrite>& writes) {
  std::vector<std::string> out;
  for (const auto& w : writes) out.push_back(w.body);
  return out;
}

class WritePathTest : public ::testing::Test {
 protected:
  std::int64_t count(const std::string& sql) {
    auto v = db_.scalar(sql);
    return v ? db::integerOf(*v).value_or(-1) : -1;
  }
  db::Value column(const std::string& sql) { return db_.scalar(sql).value_or(db::Null{}); }

  // Active 2 KB of 2 KB and cold 1 KB of 1 KB: every new body is refused.
  void fillBothTiers() {
    writeMemory(db_, writes_, {.body = std::string(2000, 'a')});
    writeMemory(db_, writes_, {.body = std::string(1000, 'c')});
    db_.run("UPDATE memories SET tier = 'cold' WHERE body = ?", {db::text(std::string(1000, 'c'))});
    platform::UserDefaults::set(std::string(kActiveBudgetKey), 2000);
    platform::UserDefaults::set(std::string(kColdBudgetKey), 1000);
  }
  void liftBudgets() {
    platform::UserDefaults::remove(std::string(kActiveBudgetKey));
    platform::UserDefaults::remove(std::string(kColdBudgetKey));
  }

  testing::TempHome home_;
  db::Connection db_ = home_.openDatabase();
  WriteState writes_;
};

TEST(ContentHash, IsLowerCaseHexSHA256OfTheBytes) {
  struct Case {
    std::string body;
    const char* want;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(memoryContentHash(c.body), c.want);
  }
}

TEST(TokenEstimate, CountsCharactersNotBytes) {
  struct Case {
    std::string body;
    std::int64_t want;
  };
  const Case cases[] = {{"", 1},
                        {"abc", 1},
                        {"abcdefg", 1},
                        {"abcdefgh", 2},
                        {"abcdefghi", 2},
                        {"\U0001F469\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466abcdefg", 2},
                        {"e\u0301e\u0301e\u0301e\u0301", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(tokenEstimate(c.body), c.want);
  }
}

TEST_F(WritePathTest, SameBodyTwiceReinforcesOneRow) {
  const Memory first =
      writeMemory(db_, writes_, {.body = "Prefer tabs in Makefiles", .tags = "style"});
  EXPECT_EQ(fetchMemory(first.id, db_), first);  // what it returns is what it stored
  const std::string before = platform::currentTimestampText();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const Memory second =
      writeMemory(db_, writes_, {.body = "Prefer tabs in Makefiles", .tags = "style"});

  EXPECT_EQ(second, first);  // as read before the reinforcement
  EXPECT_EQ(second.accessCount, 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 1);
  EXPECT_EQ(count("SELECT access_count FROM memories"), 2);
  EXPECT_EQ(column("SELECT strength FROM memories"), db::Value(1.0));
  EXPECT_GT(*db::textOf(column("SELECT last_accessed FROM memories")), before);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts"), 1);
  EXPECT_LE(count("SELECT COUNT(*) FROM memory_vectors"), 1);
}

TEST_F(WritePathTest, IdentityIgnoresEverythingButTheBody) {
  const Memory first = writeMemory(db_, writes_,
                                   {.body = "Run the linter before pushing",
                                    .tier = MemoryTier::Semantic,
                                    .project = "/work/a",
                                    .type = MemoryType::Rule,
                                    .tags = "ci"});
  const MemoryWrite others[] = {
      {.body = "Run the linter before pushing", .project = "/work/b"},
      {.body = "Run the linter before pushing", .type = MemoryType::Fact},
      {.body = "Run the linter before pushing", .tier = MemoryTier::Procedural},
      {.body = "Run the linter before pushing", .tags = "other"},
      {.body = "Run the linter before pushing"},
  };
  for (const auto& w : others) EXPECT_EQ(writeMemory(db_, writes_, w).id, first.id);
  auto row = db_.query("SELECT tier, project, type, tags, access_count FROM memories");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0], (db::Row{"semantic", "/work/a", "rule", "ci", std::int64_t{6}}));
}

TEST_F(WritePathTest, TrailingSpaceAndCaseMakeOtherMemories) {
  const Memory a = writeMemory(db_, writes_, {.body = "Use tabs"});
  const Memory b = writeMemory(db_, writes_, {.body = "Use tabs "});
  const Memory c = writeMemory(db_, writes_, {.body = "use tabs"});
  EXPECT_NE(a.id, b.id);
  EXPECT_NE(a.id, c.id);
  EXPECT_NE(b.id, c.id);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 3);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts"), 3);
}

TEST_F(WritePathTest, NewRowHasTheInsertDefaults) {
  const Memory m = writeMemory(db_, writes_,
                               {.body = "The build uses CMake presets",
                                .project = "/p",
                                .type = MemoryType::Decision,
                                .importance = 7,
                                .contextPath = "CMakePresets.json",
                                .sourceSession = "s-1"});
  auto rows = db_.query(
      "SELECT id, tier, body_tokens, project, context_path, type, tags, access_count, strength, "
      "importance, pinned, evidence_count, parent_id, source_session, predicted_future_use, "
      "condition_type, condition_value, surface_condition, trigger_keywords, depth, "
      "is_top_level, active_rule_ids, deleted_at, created_at = last_accessed, length(created_at) "
      "FROM memories");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (db::Row{m.id,
                              "episodic",
                              std::int64_t{7},
                              "/p",
                              "CMakePresets.json",
                              "decision",
                              db::Null{},
                              std::int64_t{1},
                              1.0,
                              std::int64_t{7},
                              std::int64_t{0},
                              std::int64_t{1},
                              db::Null{},
                              "s-1",
                              0.5,
                              db::Null{},
                              db::Null{},
                              db::Null{},
                              db::Null{},
                              std::int64_t{0},
                              std::int64_t{0},
                              db::Null{},
                              db::Null{},
                              std::int64_t{1},
                              std::int64_t{28}}));
  EXPECT_EQ(m.id, memoryContentHash("The build uses CMake presets"));
  EXPECT_EQ(m.createdAt, m.lastAccessed);
}

TEST_F(WritePathTest, ImportanceIsClampedToOneToTen) {
  struct Case {
    std::int64_t given;
    std::int64_t stored;
  };
  const Case cases[] = {
      {0, 1},   {-3, 1},  {std::numeric_limits<std::int64_t>::min(), 1}, {1, 1}, {7, 7},
      {10, 10}, {42, 10}, {std::numeric_limits<std::int64_t>::max(), 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    const std::string body = "importance " + std::to_string(c.given);
    const Memory m = writeMemory(db_, writes_, {.body = body, .importance = c.given});
    EXPECT_EQ(m.importance, c.stored);
    EXPECT_EQ(fetchMemory(m.id, db_)->importance, c.stored);
  }
}

TEST_F(WritePathTest, FullTextRowMirrorsBodyAndTagsUnderTheRowid) {
  writeMemory(db_, writes_, {.body = "alpha without tags"});
  writeMemory(db_, writes_, {.body = "beta with tags", .tags = "remember,flagged"});
  auto rows = db_.query(
      "SELECT m.body, m.tags, f.tags FROM memories m JOIN memories_fts f ON f.rowid = m.rowid "
      "ORDER BY m.rowid");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (db::Row{"alpha without tags", db::Null{}, ""}));
  EXPECT_EQ(rows[1], (db::Row{"beta with tags", "remember,flagged", "remember,flagged"}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts WHERE memories_fts MATCH 'beta'"), 1);
}

TEST_F(WritePathTest, ColdMemoryIsReinforcedWhereItIsWithoutACapacityCheck) {
  const Memory m = writeMemory(db_, writes_, {.body = "An archived observation"});
  db_.run("UPDATE memories SET tier = 'cold' WHERE id = ?", {db::text(m.id)});
  fillBothTiers();
  Recorder refused(kBothTiersFullNotification, writes_.notifications);

  const Memory again = writeMemory(db_, writes_, {.body = "An archived observation"});

  EXPECT_EQ(again.tier, MemoryTier::Cold);
  EXPECT_EQ(*db::textOf(column("SELECT tier FROM memories WHERE body = 'An archived observation'")),
            "cold");
  EXPECT_EQ(count("SELECT access_count FROM memories WHERE body = 'An archived observation'"), 2);
  EXPECT_TRUE(refused.seen.empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM audit_log"), 0);
  EXPECT_THROW(writeMemory(db_, writes_, {.body = "something new"}), WriteBlockedError);
}

TEST_F(WritePathTest, BothTiersFullRefusesQueuesAndAnnounces) {
  fillBothTiers();
  const std::int64_t rowsBefore = count("SELECT COUNT(*) FROM memories");
  Recorder refused(kBothTiersFullNotification, writes_.notifications);
  const MemoryWrite write{.body = "refused body",
                          .tier = MemoryTier::Semantic,
                          .project = "/p",
                          .type = MemoryType::KeyPoint,
                          .tags = "t",
                          .importance = 42,
                          .contextPath = "a.cpp",
                          .sourceSession = "s"};
  const auto before = platform::now();
  try {
    writeMemory(db_, writes_, write);
    ADD_FAILURE() << "not refused";
  } catch (const WriteBlockedError& e) {
    EXPECT_STREQ(e.what(),
                 "Nodrel is at capacity. Active: 2 KB/2 KB. Cold: 1 KB/1 KB. Raise a cap or "
                 "delete cold archive to continue.");
  }
  const auto after = platform::now();

  const auto queued = writes_.pending.items();
  ASSERT_EQ(queued.size(), 1u);
  PendingMemoryWrite want{
      "refused body",    MemoryTier::Semantic, "/p", MemoryType::KeyPoint, "t", 42, "a.cpp", "s",
      queued[0].queuedAt};
  EXPECT_EQ(queued[0], want);  // importance as given: the clamp belongs to the insert
  EXPECT_GE(queued[0].queuedAt, before);
  EXPECT_LE(queued[0].queuedAt, after);
  EXPECT_EQ(refused.queuedCounts(), std::vector<std::int64_t>{1});
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), rowsBefore);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'refused body'"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM audit_log"), 0);
}

TEST_F(WritePathTest, QueuedWritesAreRetriedFirstAndRequeuedInOrder) {
  fillBothTiers();
  for (const char* body : {"one", "two", "three"}) {
    EXPECT_THROW(writeMemory(db_, writes_, {.body = body}), WriteBlockedError);
  }
  const auto firstStamps = writes_.pending.items();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Recorder refused(kBothTiersFullNotification, writes_.notifications);

  EXPECT_THROW(writeMemory(db_, writes_, {.body = "four"}), WriteBlockedError);

  const auto queued = writes_.pending.items();
  EXPECT_EQ(bodies(queued), (std::vector<std::string>{"one", "two", "three", "four"}));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_GT(queued[i].queuedAt, firstStamps[i].queuedAt);
  EXPECT_EQ(refused.queuedCounts(), (std::vector<std::int64_t>{1, 2, 3, 4}));
}

TEST_F(WritePathTest, QueuedCountAddsTheSpilledFile) {
  fillBothTiers();
  for (int i = 0; i < 25; ++i) {
    writes_.pending.enqueue({.body = "queued " + std::to_string(i), .queuedAt = platform::now()});
  }
  writes_.pending.spillToDisk();  // 25 in the file, 25 in memory
  Recorder refused(kBothTiersFullNotification, writes_.notifications);
  EXPECT_THROW(writeMemory(db_, writes_, {.body = "one too many"}), WriteBlockedError);
  // The 25 retries refill memory beside the file's 25; the new write makes 26 held, which
  // spills only the new write after the 25 already in the file and keeps 25: those are counted
  // twice, in memory and in the file.
  std::vector<std::int64_t> want;
  for (int held = 1; held <= 25; ++held) want.push_back(held + 25);
  want.push_back(25 + 26);
  EXPECT_EQ(refused.queuedCounts(), want);
  EXPECT_EQ(writes_.pending.size(), 25u);
  EXPECT_EQ(writes_.pending.fileCount(), 26);
}

TEST_F(WritePathTest, RaisedBudgetLetsQueuedWritesInOldestFirst) {
  fillBothTiers();
  for (const char* body : {"one", "two", "three"}) {
    EXPECT_THROW(writeMemory(db_, writes_, {.body = body}), WriteBlockedError);
  }
  liftBudgets();

  const Memory own = writeMemory(db_, writes_, {.body = "four"});

  EXPECT_EQ(own.body, "four");
  EXPECT_TRUE(writes_.pending.items().empty());
  std::vector<std::string> order;
  for (const auto& row : db_.query("SELECT body FROM memories WHERE length(body) < 10 "
                                   "ORDER BY rowid")) {
    order.push_back(*db::textOf(row[0]));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts"), 6);
}

TEST_F(WritePathTest, FailedFullTextMirrorStoresNothingAndARetryStoresItWhole) {
  db_.exec("DROP TABLE memories_fts;");
  EXPECT_THROW(writeMemory(db_, writes_, {.body = "searchable later"}), db::Error);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);

  db_.exec("CREATE VIRTUAL TABLE memories_fts USING fts5(body, tags);");
  const Memory m = writeMemory(db_, writes_, {.body = "searchable later"});
  EXPECT_EQ(m.accessCount, 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts WHERE memories_fts MATCH 'searchable'"), 1);
}

TEST_F(WritePathTest, VectorAndLinkFailuresLeaveTheMemoryStored) {
  writeMemory(db_, writes_, {.body = "Deploys of the Billing service go through Jenkins"});
  db_.exec("DROP TABLE memory_vectors; DROP TABLE memory_links;");
  const Memory m =
      writeMemory(db_, writes_, {.body = "The Billing service is deployed on Fridays by Jenkins"});
  EXPECT_EQ(fetchMemory(m.id, db_), m);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts WHERE memories_fts MATCH 'Fridays'"), 1);
}

TEST_F(WritePathTest, NewMemoryGetsItsVectorAndLinks) {
  const Memory first =
      writeMemory(db_, writes_, {.body = "Deploys of the Billing service go through Jenkins"});
  const Memory m =
      writeMemory(db_, writes_, {.body = "The Billing service is deployed on Fridays by Jenkins"});
  EXPECT_EQ(count("SELECT COUNT(*) FROM memory_vectors"), 2);
  auto links =
      db_.query("SELECT DISTINCT dst_id FROM memory_links WHERE src_id = ?", {db::text(m.id)});
  EXPECT_EQ(links, std::vector<db::Row>{db::Row{first.id}});
}

TEST_F(WritePathTest, OnlyAnExplicitSaveRevivesASoftDeletedMemoryAsNew) {
  const Memory old =
      writeMemory(db_, writes_, {.body = "Deleted elsewhere, wanted again", .importance = 2});
  db_.run(
      "UPDATE memories SET deleted_at = '2026-01-01T00:00:00.000+0000', access_count = 7, "
      "strength = 0.2, pinned = 1, evidence_count = 4, tier = 'cold', "
      "created_at = '2020-01-01T00:00:00.000+0000' WHERE id = ?",
      {db::text(old.id)});
  EXPECT_EQ(fetchMemory(old.id, db_), std::nullopt);
  const auto forgotten = db_.query("SELECT * FROM memories");

  // Any other writer leaves it forgotten and changes nothing.
  EXPECT_THROW(writeMemory(db_, writes_, {.body = "Deleted elsewhere, wanted again"}),
               ForgottenMemoryError);
  EXPECT_EQ(db_.query("SELECT * FROM memories"), forgotten);

  const Memory revived = writeMemory(db_, writes_,
                                     {.body = "Deleted elsewhere, wanted again",
                                      .project = "/p",
                                      .type = MemoryType::Decision,
                                      .importance = 8,
                                      .sourceSession = "s-2",
                                      .reviveForgotten = true});
  EXPECT_EQ(revived.id, old.id);
  EXPECT_EQ(revived.accessCount, 1);
  EXPECT_EQ(fetchMemory(old.id, db_), revived);
  EXPECT_EQ(db_.query("SELECT tier, type, project, importance, access_count, strength, pinned, "
                      "evidence_count, source_session, deleted_at, created_at = last_accessed, "
                      "created_at > '2026' FROM memories"),
            (std::vector<db::Row>{{"episodic", "decision", "/p", std::int64_t{8}, std::int64_t{1},
                                   1.0, std::int64_t{0}, std::int64_t{1}, "s-2", db::Null{},
                                   std::int64_t{1}, std::int64_t{1}}}));
  // One full-text row, the revived one, and it is found.
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories_fts JOIN memories ON memories.rowid = "
                  "memories_fts.rowid WHERE memories_fts MATCH 'wanted'"),
            1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memory_vectors"), 1);

  // From then on it is an ordinary live memory: the next write reinforces it.
  writeMemory(db_, writes_, {.body = "Deleted elsewhere, wanted again"});
  EXPECT_EQ(count("SELECT access_count FROM memories"), 2);
}

TEST_F(WritePathTest, AQueuedWriteKeepsWhetherItMayReviveAForgottenBody) {
  for (const char* body : {"Explicitly saved again", "Captured again"}) {
    const Memory m = writeMemory(db_, writes_, {.body = body});
    db_.run("UPDATE memories SET deleted_at = '2026-01-01T00:00:00.000+0000' WHERE id = ?",
            {db::text(m.id)});
  }
  fillBothTiers();
  EXPECT_THROW(
      writeMemory(db_, writes_, {.body = "Explicitly saved again", .reviveForgotten = true}),
      WriteBlockedError);
  // Refused for want of room, not for being forgotten: it is queued as it came.
  EXPECT_THROW(writeMemory(db_, writes_, {.body = "Captured again"}), ForgottenMemoryError);
  ASSERT_EQ(writes_.pending.items().size(), 1u);
  EXPECT_TRUE(writes_.pending.items()[0].reviveForgotten);
  // A copy that waited in the file (another process drains it) keeps the option too.
  writes_.pending.enqueue(
      {.body = "Captured again", .queuedAt = platform::now(), .reviveForgotten = false});

  liftBudgets();
  flushPendingWrites(db_, writes_);
  EXPECT_TRUE(writes_.pending.items().empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'Explicitly saved again' AND "
                  "deleted_at IS NULL"),
            1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'Captured again' AND "
                  "deleted_at IS NULL"),
            0);
}

// A run retries only the writes it queued itself, and hears only of its own refusals.
TEST_F(WritePathTest, ARefusedWriteWaitsInItsOwnRunsQueue) {
  WriteState otherRun;
  Recorder heardElsewhere(kBothTiersFullNotification, otherRun.notifications);
  fillBothTiers();
  Recorder refused(kBothTiersFullNotification, writes_.notifications);
  EXPECT_THROW(writeMemory(db_, writes_, {.body = "refused in this run"}), WriteBlockedError);
  EXPECT_EQ(refused.queuedCounts(), std::vector<std::int64_t>{1});
  EXPECT_TRUE(heardElsewhere.seen.empty());
  liftBudgets();
  writeMemory(db_, otherRun, {.body = "written by another run"});
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'refused in this run'"), 0);
  EXPECT_EQ(bodies(writes_.pending.items()), std::vector<std::string>{"refused in this run"});
  EXPECT_TRUE(otherRun.pending.items().empty());
  writeMemory(db_, writes_, {.body = "written by this run"});
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'refused in this run'"), 1);
  EXPECT_TRUE(writes_.pending.items().empty());
}

TEST_F(WritePathTest, BusyRetryStaysQueuedOtherFailuresDrop) {
  auto fast = db::Connection::open(home_.databasePath(), {.busyTimeoutMs = 0});
  auto other = db::Connection::open(home_.databasePath());
  PendingMemoryWrite pending{.body = "waits for the lock", .queuedAt = platform::now()};
  writes_.pending.enqueue(pending);

  other.exec("BEGIN IMMEDIATE;");
  flushPendingWrites(fast, writes_);
  EXPECT_EQ(writes_.pending.items(), std::vector<PendingMemoryWrite>{pending});
  other.exec("ROLLBACK;");

  flushPendingWrites(fast, writes_);
  EXPECT_TRUE(writes_.pending.items().empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'waits for the lock'"), 1);

  writes_.pending.enqueue({.body = "cannot be mirrored", .queuedAt = platform::now()});
  db_.exec("DROP TABLE memories_fts;");
  flushPendingWrites(db_, writes_);
  EXPECT_TRUE(writes_.pending.items().empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE body = 'cannot be mirrored'"), 0);
}

TEST_F(WritePathTest, FetchFindsColdButNotDeleted) {
  const Memory cold = writeMemory(db_, writes_, {.body = "cold one"});
  const Memory gone = writeMemory(db_, writes_, {.body = "gone one"});
  db_.run("UPDATE memories SET tier = 'cold' WHERE id = ?", {db::text(cold.id)});
  db_.run("UPDATE memories SET deleted_at = 'x' WHERE id = ?", {db::text(gone.id)});
  ASSERT_TRUE(fetchMemory(cold.id, db_));
  EXPECT_EQ(fetchMemory(cold.id, db_)->tier, MemoryTier::Cold);
  EXPECT_EQ(fetchMemory(gone.id, db_), std::nullopt);
  EXPECT_EQ(fetchMemory("nothing", db_), std::nullopt);
}

TEST_F(WritePathTest, RecentMemoriesAreLiveActiveAndNewestFirst) {
  auto at = [&](const std::string& body, const std::optional<std::string>& project,
                const char* stamp) {
    const Memory m = writeMemory(db_, writes_, {.body = body, .project = project});
    db_.run("UPDATE memories SET last_accessed = ? WHERE id = ?",
            {db::text(stamp), db::text(m.id)});
    return m.id;
  };
  at("p old", "/p", "2026-01-01T00:00:00.000+0000");
  at("p new", "/p", "2026-01-03T00:00:00.000+0000");
  at("q mid", "/q", "2026-01-02T00:00:00.000+0000");
  at("none", std::nullopt, "2026-01-04T00:00:00.000+0000");
  const std::string cold = at("p cold", "/p", "2026-01-05T00:00:00.000+0000");
  const std::string gone = at("p gone", "/p", "2026-01-06T00:00:00.000+0000");
  db_.run("UPDATE memories SET tier = 'cold' WHERE id = ?", {db::text(cold)});
  db_.run("UPDATE memories SET deleted_at = 'x' WHERE id = ?", {db::text(gone)});

  auto bodiesOf = [](const std::vector<Memory>& ms) {
    std::vector<std::string> out;
    for (const auto& m : ms) out.push_back(m.body);
    return out;
  };
  EXPECT_EQ(bodiesOf(recentMemories("/p", 20, db_)), (std::vector<std::string>{"p new", "p old"}));
  EXPECT_EQ(bodiesOf(recentMemories(std::nullopt, 20, db_)),
            (std::vector<std::string>{"none", "p new", "q mid", "p old"}));
  EXPECT_EQ(bodiesOf(recentMemories(std::nullopt, 2, db_)),
            (std::vector<std::string>{"none", "p new"}));
  EXPECT_TRUE(recentMemories("/nowhere", 20, db_).empty());
}

}  // namespace
}  // namespace nodrel::store
