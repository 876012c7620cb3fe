// nodrel_remember end to end: the server over a pipe, the memory as stored.
#include <gtest/gtest.h>

#include <string>

#include "platform/user_defaults.h"
#include "store/capacity.h"
#include "store/write_path.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;

class RememberTool : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();
  store::WriteState writes;

  json remember(const json& arguments, std::vector<std::string>* errLines = nullptr) {
    return testing::callTool("nodrel_remember", arguments, errLines);
  }
  db::Value stored(const std::string& id, const std::string& column) {
    return db.scalar("SELECT " + column + " FROM memories WHERE id = ?", {db::text(id)})
        .value_or(db::Null{});
  }
  std::int64_t memoryCount() {
    return db::integerOf(*db.scalar("SELECT COUNT(*) FROM memories")).value();
  }
};

// A memory deleted outside the server (the app's trash) and remembered again is stored afresh,
// where the table's key used to refuse it with "UNIQUE constraint failed: memories.id".
TEST_F(RememberTool, RemembersADeletedMemoryAgain) {
  const json first = remember({{"project_path", "/work/app"}, {"content", "Run the linter first"}});
  ASSERT_EQ(first["success"], true) << first;
  const std::string id = first["memory_id"];
  db.run(
      "UPDATE memories SET deleted_at = '2026-01-01T00:00:00.000+0000', access_count = 5 "
      "WHERE id = ?",
      {db::text(id)});

  const json again = remember({{"project_path", "/work/app"}, {"content", "Run the linter first"}});
  ASSERT_EQ(again["success"], true) << again;
  EXPECT_EQ(again["memory_id"], id);
  EXPECT_EQ(stored(id, "deleted_at"), db::Value(db::Null{}));
  EXPECT_EQ(stored(id, "access_count"), db::Value(std::int64_t{1}));
  EXPECT_EQ(memoryCount(), 1);
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM memories_fts WHERE memories_fts MATCH 'linter'"),
            db::Value(std::int64_t{1}));
}

TEST_F(RememberTool, StoresTheContentWithItsRationale) {
  std::vector<std::string> err;
  const json result = remember({{"project_path", "/work/app"},
                                {"content", "Use tabs"},
                                {"rationale", "  team rule"},
                                {"session_id", "S1"},
                                {"surface", "cowork"}},
                               &err);
  // The rationale is cleaned like the content before it joins the body; the echo is as sent.
  const std::string body = "Use tabs\n\n(rationale: team rule)";
  const std::string id = store::memoryContentHash(body);
  EXPECT_EQ(result["success"], true);
  EXPECT_EQ(result["memory_id"], id);
  EXPECT_EQ(result["importance"], 9);
  EXPECT_EQ(result["tags"], "remember,flagged");
  EXPECT_EQ(result["tier"], "episodic");
  EXPECT_EQ(result["rationale"], "  team rule");
  EXPECT_EQ(result.size(), 7u);
  EXPECT_EQ(stored(id, "body"), db::Value(body));
  EXPECT_EQ(stored(id, "type"), db::Value(std::string("observation")));
  EXPECT_EQ(stored(id, "project"), db::Value(std::string("/work/app")));
  EXPECT_EQ(stored(id, "source_session"), db::Value(std::string("S1")));
  EXPECT_EQ(stored(id, "importance"), db::Value(std::int64_t{9}));
  EXPECT_EQ(stored(id, "created_at"), db::Value(result["created_at"].get<std::string>()));
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM memories_fts WHERE memories_fts MATCH 'tabs'"),
            db::Value(std::int64_t{1}));
  // The remember tool registers no project.
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM projects"), db::Value(std::int64_t{0}));
  EXPECT_NE(
      std::find(err.begin(), err.end(), "[nodrel-mcp] remember saved: " + id + " (importance: 9)"),
      err.end());
}

TEST_F(RememberTool, RememberingTwiceReinforcesTheFirstMemory) {
  const json arguments = {{"project_path", "/p"},
                          {"content", "Run the linter"},
                          {"rationale", "   "},
                          {"session_id", ""}};
  const json first = remember(arguments);
  const json second = remember(arguments);
  EXPECT_FALSE(first.contains("rationale"));
  EXPECT_EQ(second["memory_id"], first["memory_id"]);
  EXPECT_EQ(second["created_at"], first["created_at"]);
  const std::string id = first["memory_id"];
  EXPECT_EQ(stored(id, "body"), db::Value(std::string("Run the linter")));
  EXPECT_EQ(stored(id, "access_count"), db::Value(std::int64_t{2}));
  EXPECT_TRUE(db::isNull(stored(id, "source_session")));

  // A body stored earlier as another kind of memory keeps what it is; the result does not say.
  store::writeMemory(db, writes,
                     {.body = "Ship on Fridays",
                      .tier = store::MemoryTier::Semantic,
                      .type = store::MemoryType::Rule,
                      .importance = 3});
  const json other = remember({{"project_path", "/p"}, {"content", "Ship on Fridays"}});
  EXPECT_EQ(other["tier"], "episodic");
  EXPECT_EQ(other["importance"], 9);
  EXPECT_EQ(stored(other["memory_id"], "tier"), db::Value(std::string("semantic")));
}

TEST_F(RememberTool, RefusalsStoreNothing) {
  std::string words6000, words4990;
  for (int i = 0; i < 1200; ++i) words6000 += "word ";
  words6000.back() = '.';
  for (int i = 0; i < 998; ++i) words4990 += "word ";
  words4990.back() = '.';
  struct Case {
    json arguments;
    std::string error;
  };
  const Case cases[] = {
      {{{"content", "x"}}, "project_path is required"},
      {{{"project_path", ""}, {"content", "x"}}, "project_path is required"},
      {{{"project_path", "rel/dir"}, {"content", "x"}}, "project_path must be an absolute path"},
      {{{"project_path", "/a/../b"}, {"content", "x"}},
       "project_path must not contain path traversal (..)"},
      {{{"project_path", "/p"}}, "content is required and must not be empty"},
      {{{"project_path", "/p"}, {"content", 42}}, "content is required and must not be empty"},
      {{{"project_path", "/p"}, {"content", std::string(10001, 'x')}},
       "content exceeds 10,000 character limit"},
      {{{"project_path", "/p"}, {"content", "   "}},
       "Content rejected: Body is empty or whitespace-only"},
      {{{"project_path", "/p"}, {"content", words6000}},
       "Content rejected: Body exceeds 5,000 character limit (6000 chars)"},
      {{{"project_path", "/p"}, {"content", "see <script>x</script>"}},
       "Content rejected: Body contains dangerous embedded content: <script; Body contains HTML "
       "tags"},
      // Cleaning removes the tag and rebuilds the marker.
      {{{"project_path", "/p"}, {"content", "java<b>script:alert(1)"}},
       "Content rejected: Body contains dangerous embedded content: javascript:"},
      // The rationale goes into the body, so it is checked like the content.
      {{{"project_path", "/p"}, {"content", "ok"}, {"rationale", std::string("a\0b", 3)}},
       "rationale must not contain null bytes"},
      {{{"project_path", "/p"}, {"content", "ok"}, {"rationale", std::string(10001, 'r')}},
       "rationale exceeds 10,000 character limit"},
      {{{"project_path", "/p"}, {"content", "ok"}, {"rationale", "click onclick=go()"}},
       "Content rejected: Body contains dangerous embedded content: onclick="},
      {{{"project_path", "/p"}, {"content", "ok"}, {"rationale", "on<i>error=x"}},
       "Content rejected: Body contains dangerous embedded content: onerror="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.dump().substr(0, 80));
    const json result = remember(c.arguments);
    EXPECT_EQ(result, json({{"success", false}, {"error", c.error}}));
  }
  EXPECT_EQ(memoryCount(), 0);

  // The limit of 5,000 is the content's: a long rationale may take the body past it.
  const json stored = remember(
      {{"project_path", "/p"}, {"content", words4990}, {"rationale", "because " + words4990}});
  EXPECT_EQ(stored["success"], true);
  EXPECT_EQ(memoryCount(), 1);
}

TEST_F(RememberTool, AFullStoreRefusesAndQueuesTheMemory) {
  store::writeMemory(db, writes, {.body = std::string(2000, 'a')});
  store::writeMemory(db, writes, {.body = std::string(1000, 'c')});
  db.run("UPDATE memories SET tier = 'cold' WHERE body = ?", {db::text(std::string(1000, 'c'))});
  platform::UserDefaults::set(std::string(store::kActiveBudgetKey), 2000);
  platform::UserDefaults::set(std::string(store::kColdBudgetKey), 1000);

  std::vector<std::string> err;
  const json result = remember({{"project_path", "/p"}, {"content", "One more thing"}}, &err);
  EXPECT_EQ(result["success"], false);
  const std::string error = result["error"];
  EXPECT_EQ(error.rfind("Nodrel is at capacity. Active: ", 0), 0u) << error;
  EXPECT_NE(std::find(err.begin(), err.end(), "[nodrel-mcp] rememberContent error: " + error),
            err.end());
  EXPECT_EQ(memoryCount(), 2);
}

}  // namespace
}  // namespace nodrel
