#include "store/capacity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "db/error.h"
#include "platform/notifications.h"
#include "platform/user_defaults.h"
#include "store/demotion.h"
#include "store/pending_write_queue.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

using namespace std::chrono_literals;

struct Row {
  std::string id;
  std::string tier = "episodic";
  std::int64_t tokens = 25;  // 100 estimated bytes
  std::int64_t accessCount = 1;
  std::string lastAccessed = "2026-01-01T00:00:00.000+0000";
  std::string type = "observation";
  std::int64_t pinned = 0;
  std::optional<std::string> deletedAt = std::nullopt;
};

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + std::string in Release.
std::string nth(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

void insert(db::Connection& db, const Row& r) {
  db.run(
      "INSERT INTO memories (id, tier, body, body_tokens, type, created_at, last_accessed, "
      "access_count, pinned, deleted_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {db::text(r.id), db::text(r.tier), db::text(std::string("body of ").append(r.id)),
       db::Value(r.tokens), db::text(r.type), db::text(r.lastAccessed), db::text(r.lastAccessed),
       db::Value(r.accessCount), db::Value(r.pinned), db::optionalText(r.deletedAt)});
}

void link(db::Connection& db, const std::string& src, const std::string& dst,
          const std::string& type = "semantic") {
  db.run(
      "INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
      "VALUES (?, ?, ?, 1.0, '2026-01-01T00:00:00.000+0000')",
      {db::text(src), db::text(dst), db::text(type)});
}

std::string tierOf(db::Connection& db, const std::string& id) {
  auto v = db.scalar("SELECT tier FROM memories WHERE id = ?", {db::text(id)});
  return v && db::textOf(*v) ? *db::textOf(*v) : "";
}

std::int64_t count(db::Connection& db, const std::string& sql) {
  auto v = db.scalar(sql);
  return v ? db::integerOf(*v).value_or(-1) : -1;
}

std::vector<std::string> ids(const std::vector<Memory>& memories) {
  std::vector<std::string> out;
  for (const auto& m : memories) out.push_back(m.id);
  return out;
}

// Records every notification of one name posted while it lives.
class Recorder {
 public:
  Recorder(std::string_view name, platform::NotificationCenter& center)
      : observer_(
            std::string(name), [this](const platform::Notification& n) { seen.push_back(n); },
            center) {}
  std::vector<platform::Notification> seen;

 private:
  platform::ScopedObserver observer_;
};

class CapacityTest : public ::testing::Test {
 protected:
  void setBudgets(std::optional<nlohmann::json> active, std::optional<nlohmann::json> cold) {
    for (auto [key, value] :
         {std::pair{kActiveBudgetKey, active}, std::pair{kColdBudgetKey, cold}}) {
      if (value) {
        platform::UserDefaults::set(std::string(key), *value);
      } else {
        platform::UserDefaults::remove(std::string(key));
      }
    }
  }

  testing::TempHome home_;
  db::Connection db_ = home_.openDatabase();
  platform::NotificationCenter notifications_;
};

TEST(WriteBlocked, DescriptionNamesBothTiers) {
  WriteBlockedError e(1000, 900, 100, 100);
  EXPECT_STREQ(e.what(),
               "Nodrel is at capacity. Active: 1 KB/900 bytes. Cold: 100 bytes/100 bytes. "
               "Raise a cap or delete cold archive to continue.");
  EXPECT_EQ(e.activeUsed(), 1000);
  EXPECT_EQ(e.activeCap(), 900);
  EXPECT_EQ(e.coldUsed(), 100);
  EXPECT_EQ(e.coldCap(), 100);
}

TEST_F(CapacityTest, BudgetsAreReadAsExactIntegers) {
  struct Case {
    std::optional<nlohmann::json> value;
    std::optional<std::int64_t> active;
    std::int64_t cold;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, 0},
      {0, std::nullopt, 0},
      {-5, std::nullopt, -5},
      {1, 1, 1},
      {"1000", std::nullopt, 0},
      {10.5, std::nullopt, 0},
      {1000.0, 1000, 1000},
      {true, std::nullopt, 0},
      {nlohmann::json::array({1}), std::nullopt, 0},
      {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max(),
       std::numeric_limits<std::int64_t>::max()},
      {std::numeric_limits<std::uint64_t>::max(), std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? c.value->dump() : "absent");
    setBudgets(c.value, c.value);
    EXPECT_EQ(activeBudgetBytes(), c.active);
    EXPECT_EQ(coldBudgetBytes(), c.cold);
  }
}

TEST_F(CapacityTest, UsageIsTheEstimatedSizeOfLiveMemoriesPerTier) {
  insert(db_, {.id = "a", .tokens = 10});
  insert(db_, {.id = "b", .tier = "semantic", .tokens = 5});
  insert(db_, {.id = "c", .tier = "cold", .tokens = 7});
  insert(db_, {.id = "d", .tokens = 100, .deletedAt = "2026-01-02T00:00:00.000+0000"});
  insert(db_,
         {.id = "e", .tier = "cold", .tokens = 100, .deletedAt = "2026-01-02T00:00:00.000+0000"});
  EXPECT_EQ(activeUsedBytes(db_), 60);
  EXPECT_EQ(coldUsedBytes(db_), 28);
}

// The check passes over the sum when a bound from the indexes is below the budget; stores whose
// counts or tiers the bound cannot read must still be summed, so the budget decides as the sum
// does: one byte above the usage runs no pass, equal to it runs one.
TEST_F(CapacityTest, OddCountsAndTiersDecideAsTheirSum) {
  struct Case {
    const char* name;
    std::vector<std::string> rows;  // VALUES of (rowid, id, tier, body_tokens, deleted_at)
  };
  const Case cases[] = {
      {"a count held as text", {"(100, 'a', 'episodic', '250000abc', NULL)"}},
      {"a count held as a blob", {"(100, 'a', 'episodic', CAST('250000' AS BLOB), NULL)"}},
      {"a tier held as a blob", {"(100, 'a', x'01', 250000, NULL)"}},
      {"a large count in a tier after cold", {"(100, 'a', 'zeta', 250000, NULL)"}},
      {"negative counts",
       {"(100, 'a', 'episodic', -4000, NULL)", "(101, 'b', 'semantic', 5000, NULL)"}},
      {"rowids far apart", {"(4611686018427387904, 'a', 'episodic', 250000, NULL)"}},
      {"a deleted row with a larger count", {"(100, 'a', 'episodic', 900000, '2026-01-02')"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    db_.exec("DELETE FROM memories; DELETE FROM audit_log;");
    for (int i = 0; i < 3; ++i) insert(db_, {.id = nth("small", i), .tokens = 1});
    for (const auto& values : c.rows) {
      db_.exec("INSERT INTO memories (rowid, id, tier, body_tokens, deleted_at) VALUES " + values);
    }
    const std::int64_t used = activeUsedBytes(db_);
    ASSERT_GT(used, 0);
    for (const std::int64_t budget : {used + 1, used}) {
      SCOPED_TRACE(budget);
      db_.exec("DELETE FROM audit_log");
      setBudgets(budget, std::nullopt);
      enforceCapacity(db_, notifications_);
      EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM audit_log"), budget == used ? 1 : 0);
    }
  }
  // More tiers than the bound walks: the sum decides.
  db_.exec("DELETE FROM memories; DELETE FROM audit_log;");
  for (int i = 0; i < 20; ++i) insert(db_, {.id = nth("m", i), .tier = nth("t", i), .tokens = 1});
  insert(db_, {.id = "large", .tier = "t9", .tokens = 1000});
  setBudgets(activeUsedBytes(db_), std::nullopt);
  enforceCapacity(db_, notifications_);
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM audit_log"), 1);
}

TEST_F(CapacityTest, NoBudgetMeansNoDemotionAndNoRefusal) {
  for (int i = 0; i < 5; ++i) insert(db_, {.id = nth("m", i)});
  const std::optional<nlohmann::json> values[] = {std::nullopt, 0, -1, "100", 10.5, true};
  for (const auto& value : values) {
    SCOPED_TRACE(value ? value->dump() : "absent");
    setBudgets(value, -1);  // a cold limit that any measured size reaches
    EXPECT_NO_THROW(enforceCapacity(db_, notifications_));
    EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memories WHERE tier = 'cold'"), 0);
    EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM audit_log"), 0);
  }
}

TEST_F(CapacityTest, PassDemotesLowestScoredUntilEnoughIsFreed) {
  // Ten memories of 100 bytes: used 1000, budget 900, so 100 + 90 bytes are to be freed and two
  // memories go. The two least valuable are old, never reused observations.
  for (int i = 0; i < 8; ++i) {
    insert(db_, {.id = nth("keep", i),
                 .accessCount = 5,
                 .lastAccessed = "2026-03-01T00:00:00.000+0000",
                 .type = "rule"});
  }
  insert(db_, {.id = "old-semantic",
               .tier = "semantic",
               .accessCount = 0,
               .lastAccessed = "2025-01-01T00:00:00.000+0000"});
  insert(db_,
         {.id = "old-episodic", .accessCount = 0, .lastAccessed = "2025-02-01T00:00:00.000+0000"});
  setBudgets(900, std::nullopt);
  Recorder demotions(kActiveDemotionOccurredNotification, notifications_);

  enforceCapacity(db_, notifications_);

  EXPECT_EQ(tierOf(db_, "old-semantic"), "cold");
  EXPECT_EQ(tierOf(db_, "old-episodic"), "cold");
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memories WHERE tier = 'cold'"), 2);
  auto history = db_.query(
      "SELECT memory_id, from_tier, to_tier, reason, length(moved_at) FROM memory_history "
      "ORDER BY rowid");
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0],
            (db::Row{"old-semantic", "semantic", "cold", "active_cap_demotion", std::int64_t{28}}));
  EXPECT_EQ(history[1],
            (db::Row{"old-episodic", "episodic", "cold", "active_cap_demotion", std::int64_t{28}}));
  auto audit = db_.query(
      "SELECT session_id, tool_name, result_summary, impact_scope, timestamp = created_at "
      "FROM audit_log");
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0], (db::Row{db::Null{}, "active_cap_demotion",
                               "Active cap hit \u2014 demoted 2 memories to cold (200 bytes freed)",
                               "global", std::int64_t{1}}));
  ASSERT_EQ(demotions.seen.size(), 1u);
  EXPECT_EQ(demotions.seen[0].userInfo,
            (std::map<std::string, std::int64_t>{{"count", 2}, {"freedBytes", 200}}));
}

TEST_F(CapacityTest, ActiveTierDoesNotDrainOnceBackUnderBudget) {
  for (int i = 0; i < 10; ++i) insert(db_, {.id = nth("m", i)});
  // A database file far above the budget, by rows that are not memories.
  for (int i = 0; i < 200; ++i) {
    db_.run("INSERT INTO audit_log (timestamp, tool_name, result_summary) VALUES ('t', 'x', ?)",
            {db::text(std::string(1000, 'x'))});
  }
  setBudgets(900, std::nullopt);
  enforceCapacity(db_, notifications_);
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memories WHERE tier = 'cold'"), 2);
  for (int i = 0; i < 3; ++i) enforceCapacity(db_, notifications_);
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memories WHERE tier = 'cold'"), 2);
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM audit_log WHERE tool_name = 'active_cap_demotion'"),
            1);
}

TEST_F(CapacityTest, UsageEqualToASmallBudgetRunsAnEmptyPass) {
  insert(db_, {.id = "a", .tokens = 2});  // 8 bytes
  setBudgets(8, std::nullopt);            // truncate(0.8) = 0 bytes to free
  Recorder demotions(kActiveDemotionOccurredNotification, notifications_);
  enforceCapacity(db_, notifications_);
  EXPECT_EQ(tierOf(db_, "a"), "episodic");
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memory_history"), 0);
  auto summary = db_.scalar("SELECT result_summary FROM audit_log");
  ASSERT_TRUE(summary);
  EXPECT_EQ(*db::textOf(*summary),
            "Active cap hit \u2014 demoted 0 memories to cold (Zero KB freed)");
  ASSERT_EQ(demotions.seen.size(), 1u);
  EXPECT_EQ(demotions.seen[0].userInfo,
            (std::map<std::string, std::int64_t>{{"count", 0}, {"freedBytes", 0}}));
}

TEST_F(CapacityTest, ColdBudgetDecidesRefusal) {
  insert(db_, {.id = "active"});                  // 100 active bytes
  insert(db_, {.id = "frozen", .tier = "cold"});  // 100 cold bytes
  struct Case {
    std::optional<nlohmann::json> cold;
    bool refused;
  };
  const Case cases[] = {{std::nullopt, false}, {0, false},  {-1, true}, {100, true}, {99, true},
                        {101, false},          {"5", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cold ? c.cold->dump() : "absent");
    db_.exec("UPDATE memories SET tier = 'episodic' WHERE id = 'active'; DELETE FROM audit_log;");
    setBudgets(50, c.cold);
    if (!c.refused) {
      EXPECT_NO_THROW(enforceCapacity(db_, notifications_));
      EXPECT_EQ(tierOf(db_, "active"), "cold");
      continue;
    }
    try {
      enforceCapacity(db_, notifications_);
      ADD_FAILURE() << "not refused";
    } catch (const WriteBlockedError& e) {
      EXPECT_EQ(e.activeUsed(), 100);
      EXPECT_EQ(e.activeCap(), 50);
      EXPECT_EQ(e.coldUsed(), 100);
      EXPECT_EQ(e.coldCap(), c.cold->get<std::int64_t>());
    }
    EXPECT_EQ(tierOf(db_, "active"), "episodic");
    EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM audit_log"), 0);
  }
}

TEST_F(CapacityTest, AFailedMoveIsNeitherCountedNorRecorded) {
  insert(db_, {.id = "stuck", .accessCount = 0, .lastAccessed = "2025-01-01T00:00:00.000+0000"});
  insert(db_, {.id = "moves", .accessCount = 0, .lastAccessed = "2025-01-02T00:00:00.000+0000"});
  insert(db_, {.id = "stays", .accessCount = 9, .lastAccessed = "2026-06-01T00:00:00.000+0000"});
  db_.exec(
      "CREATE TRIGGER refuse_stuck BEFORE UPDATE OF tier ON memories WHEN OLD.id = 'stuck' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  setBudgets(150, std::nullopt);  // used 300: 150 + 15 to free, so both old ones are chosen
  Recorder demotions(kActiveDemotionOccurredNotification, notifications_);
  enforceCapacity(db_, notifications_);
  EXPECT_EQ(tierOf(db_, "stuck"), "episodic");
  EXPECT_EQ(tierOf(db_, "moves"), "cold");
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memory_history WHERE memory_id = 'stuck'"), 0);
  EXPECT_EQ(count(db_, "SELECT COUNT(*) FROM memory_history"), 1);
  auto summary = db_.scalar("SELECT result_summary FROM audit_log");
  ASSERT_TRUE(summary);
  EXPECT_EQ(*db::textOf(*summary),
            "Active cap hit \u2014 demoted 1 memories to cold (100 bytes freed)");
  ASSERT_EQ(demotions.seen.size(), 1u);
  EXPECT_EQ(demotions.seen[0].userInfo.at("count"), 1);
}

TEST_F(CapacityTest, OnlyActiveUnpinnedLiveMemoriesAreCandidates) {
  insert(db_, {.id = "pinned", .pinned = 1});
  insert(db_, {.id = "deleted", .deletedAt = "2026-01-02T00:00:00.000+0000"});
  insert(db_, {.id = "cold", .tier = "cold"});
  EXPECT_TRUE(rankDemotionCandidates(1'000'000, db_).empty());

  insert(db_, {.id = "episodic"});
  insert(db_, {.id = "semantic", .tier = "semantic"});
  insert(db_, {.id = "procedural", .tier = "procedural"});
  insert(db_, {.id = "pinned-two", .pinned = 2});  // any pinned value but 0 keeps it active
  auto ranked = ids(rankDemotionCandidates(1'000'000, db_));
  std::sort(ranked.begin(), ranked.end());
  EXPECT_EQ(ranked, (std::vector<std::string>{"episodic", "procedural", "semantic"}));
  EXPECT_TRUE(rankDemotionCandidates(0, db_).empty());
  EXPECT_TRUE(rankDemotionCandidates(-5, db_).empty());
}

TEST_F(CapacityTest, RankingStopsOnceTheBytesAreReached) {
  for (int i = 0; i < 5; ++i) {
    insert(db_, {.id = nth("m", i),
                 .lastAccessed = nth("2026-01-0", i + 1).append("T00:00:00.000+0000")});
  }
  struct Case {
    std::int64_t bytes;
    std::size_t want;
  };
  const Case cases[] = {{1, 1}, {100, 1}, {101, 2}, {300, 3}, {10'000, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(rankDemotionCandidates(c.bytes, db_).size(), c.want);
  }
}

TEST_F(CapacityTest, EqualScoresKeepLeastRecentlyAccessedFirst) {
  // Accessed in the future: the largest age is 0, so recency is 1.0 for all and every score is
  // equal. Inserted newest first, so only the query's order and a stable sort give this order.
  std::vector<std::string> want;
  for (int i = 49; i >= 0; --i) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "2099-01-01T00:00:%02d.000+0000", i);
    insert(db_, {.id = nth("m", i), .lastAccessed = stamp});
  }
  for (int i = 0; i < 50; ++i) want.push_back(nth("m", i));
  EXPECT_EQ(ids(rankDemotionCandidates(1'000'000, db_)), want);
}

TEST_F(CapacityTest, LinkCountsFollowBothDirectionsAndTwoHops) {
  link(db_, "a", "b");
  link(db_, "b", "c");
  link(db_, "b", "d");
  link(db_, "b", "a");  // back to a itself: not a two-hop target
  link(db_, "a", "c");
  link(db_, "c", "d");  // d again through c: counted once
  link(db_, "a", "b", "entity");
  link(db_, "e", "a");
  EXPECT_EQ(memoryLinkCounts("a", db_), (MemoryLinkCounts{.degree = 5, .twoHop = 2}));
  EXPECT_EQ(memoryLinkCounts("d", db_), (MemoryLinkCounts{.degree = 2, .twoHop = 0}));
  EXPECT_EQ(memoryLinkCounts("nobody", db_), (MemoryLinkCounts{}));

  db_.exec("DROP TABLE memory_links;");
  EXPECT_THROW(memoryLinkCounts("a", db_), db::Error);
  insert(db_, {.id = "x"});
  EXPECT_EQ(ids(rankDemotionCandidates(1, db_)), std::vector<std::string>{"x"});
}

TEST_F(CapacityTest, CountsOfAllMatchThePerMemoryQueries) {
  // Self links, one pair linked twice, links to code files, blob ends and one that spells a
  // memory's identifier: the one read of the links must count exactly what the queries count.
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> pick(0, 29);
  std::vector<std::string> memoryIDs;
  for (int i = 0; i < 30; ++i) memoryIDs.push_back(nth("m", i));
  memoryIDs.push_back("unlinked");
  for (int i = 0; i < 120; ++i) {
    link(db_, nth("m", pick(rng)), nth("m", pick(rng)), i % 2 ? "semantic" : "entity");
  }
  link(db_, "m1", "m1");
  link(db_, "m2", "code:src/a.ts");
  db_.exec(
      "INSERT INTO memory_links (src_id, dst_id, link_type) VALUES (X'33', 'm3', 'x');"
      "INSERT INTO memory_links (src_id, dst_id, link_type) VALUES ('m3', X'33', 'x');"
      "INSERT INTO memory_links (src_id, dst_id, link_type) VALUES ('m4', CAST('m5' AS BLOB), 'x');"
      "INSERT INTO memory_links (src_id, dst_id, link_type) VALUES (CAST('m5' AS BLOB), 'm6', "
      "'x');");
  auto all = memoryLinkCountsOfAll(memoryIDs, db_);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), memoryIDs.size());
  for (std::size_t i = 0; i < memoryIDs.size(); ++i) {
    SCOPED_TRACE(memoryIDs[i]);
    EXPECT_EQ((*all)[i], memoryLinkCounts(memoryIDs[i], db_));
  }
  db_.exec("DROP TABLE memory_links;");
  EXPECT_EQ(memoryLinkCountsOfAll(memoryIDs, db_), std::nullopt);
}

}  // namespace
}  // namespace nodrel::store
