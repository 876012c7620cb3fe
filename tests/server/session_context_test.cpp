// nodrel_save_context through the server.
#include <gtest/gtest.h>

#include <string>

#include "store/write_path.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;

class SavingContext : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();

  json save(const json& arguments, std::vector<std::string>* errLines = nullptr) {
    return testing::callTool("nodrel_save_context", arguments, errLines);
  }
  std::int64_t count(const std::string& sql) { return db::integerOf(*db.scalar(sql)).value_or(-1); }
};

TEST_F(SavingContext, KindsOutsideTheFourBecomeKeyPoints) {
  struct Case {
    json contextType;
    std::string kind;
    std::string memoryType;
  };
  const Case cases[] = {
      {"decision", "decision", "decision"},  {"handoff", "handoff", "handoff"},
      {"state", "state", "state"},           {"Decision", "key_point", "key_point"},
      {"summary", "key_point", "key_point"}, {nullptr, "key_point", "key_point"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contextType.dump());
    json arguments = {{"project_path", "/work/app"}, {"content", "note " + std::to_string(n++)}};
    if (!c.contextType.is_null()) arguments["context_type"] = c.contextType;
    const json result = save(arguments);
    ASSERT_EQ(result["success"], true) << result;
    EXPECT_EQ(result["context_type"], c.kind);
    const std::string body = arguments["content"];
    EXPECT_EQ(db.query("SELECT type, tags FROM memories WHERE id = ?",
                       {db::text(store::memoryContentHash(body))})
                  .at(0),
              (db::Row{c.memoryType, c.kind}));
    EXPECT_EQ(db.scalar("SELECT context_type FROM session_context WHERE id = ?",
                        {db::text(result["context_id"].get<std::string>())}),
              db::Value(c.kind));
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM projects"), 1);
}

TEST_F(SavingContext, SessionsLinkOnlyToKnownSessions) {
  // An empty session id is no session.
  const json saved = save({{"project_path", "/p"},
                           {"content", "Halfway through the migration"},
                           {"context_type", "state"},
                           {"session_id", ""}});
  ASSERT_EQ(saved["success"], true);
  EXPECT_EQ(count("SELECT COUNT(*) FROM session_context WHERE session_id IS NULL"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE source_session IS NULL"), 1);

  db.run(
      "INSERT INTO session_stats (id, project_id, session_date) VALUES ('S1', ?, "
      "'2026-01-01')",
      {db::text(saved["project_id"].get<std::string>())});
  const json linked = save({{"project_path", "/p"},
                            {"content", "Handing over to review"},
                            {"context_type", "handoff"},
                            {"session_id", "S1"}});
  ASSERT_EQ(linked["success"], true) << linked;
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE source_session = 'S1'"), 1);

  // A session the database does not know: the note is kept without the link, and its memory
  // still names the session.
  const json unknown = save(
      {{"project_path", "/p"}, {"content", "Note of an unknown session"}, {"session_id", "NOPE"}});
  ASSERT_EQ(unknown["success"], true) << unknown;
  EXPECT_EQ(db.query("SELECT session_id, content FROM session_context WHERE id = ?",
                     {db::text(unknown["context_id"].get<std::string>())}),
            (std::vector<db::Row>{{db::Null{}, "Note of an unknown session"}}));
  EXPECT_EQ(db.scalar("SELECT source_session FROM memories WHERE body = ?",
                      {db::text("Note of an unknown session")}),
            db::Value("NOPE"));
  EXPECT_EQ(count("SELECT COUNT(*) FROM session_context WHERE session_id = 'S1'"), 1);
}

TEST_F(SavingContext, ASessionIdAbove200CharactersIsRefused) {
  const std::string longest(200, 's');
  const json kept = save({{"project_path", "/p"}, {"content", "Kept"}, {"session_id", longest}});
  ASSERT_EQ(kept["success"], true) << kept;
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE length(source_session) = 200"), 1);

  const json refused = save({{"project_path", "/p"},
                             {"content", "Refused"},
                             {"session_id", std::string(1'000'000, 's')}});
  EXPECT_EQ(refused,
            json({{"success", false}, {"error", "session_id exceeds 200 character limit"}}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM session_context"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 1);
  // The audit row of the refusal keeps no session, and its parameters stay cut.
  EXPECT_EQ(db.query("SELECT session_id, result_summary, length(parameters_json) < 2000 "
                     "FROM audit_log ORDER BY id DESC LIMIT 1"),
            (std::vector<db::Row>{{db::Null{}, "rejected", std::int64_t{1}}}));
}

// A database failure reaches the caller with SQLite's result code beside its message.
TEST_F(SavingContext, ADatabaseFailureCarriesSQLitesCode) {
  db.exec(
      "CREATE TRIGGER closed BEFORE INSERT ON session_context "
      "BEGIN SELECT RAISE(ABORT, 'notes are closed'); END;");
  std::vector<std::string> err;
  const json result = save({{"project_path", "/p"}, {"content", "Refused by the trigger"}}, &err);
  // 1811: SQLITE_CONSTRAINT_TRIGGER.
  EXPECT_EQ(result, json({{"success", false}, {"error", "SQLite error 1811: notes are closed"}}));
  EXPECT_NE(std::find(err.begin(), err.end(),
                      "[nodrel-mcp] saveContext error: SQLite error 1811: notes are closed"),
            err.end());
}

TEST_F(SavingContext, SavedTwiceGivesTwoRowsAndOneMemory) {
  const json arguments = {
      {"project_path", "/p"}, {"content", "We chose SQLite"}, {"context_type", "decision"}};
  std::vector<std::string> first, second;
  save(arguments, &first);
  save(arguments, &second);
  const std::string line =
      "[nodrel-mcp] context mirrored to memories: " + store::memoryContentHash("We chose SQLite");
  EXPECT_NE(std::find(first.begin(), first.end(), line), first.end());
  EXPECT_NE(std::find(second.begin(), second.end(), line), second.end());
  EXPECT_EQ(count("SELECT COUNT(*) FROM session_context"), 2);
  EXPECT_EQ(count("SELECT access_count FROM memories"), 2);

  for (const json& bad : {json{{"content", "x"}}, json{{"project_path", "/p"}, {"content", " "}}}) {
    const json result = save(bad);
    EXPECT_EQ(result["success"], false) << bad;
  }
  EXPECT_EQ(save({{"content", "x"}})["error"], "project_path is required");
  EXPECT_EQ(count("SELECT COUNT(*) FROM session_context"), 2);
}

}  // namespace
}  // namespace nodrel
