#include "server/audit_log.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel::server {
namespace {

using nlohmann::json;
using testing::runServer;
using testing::toolCall;
using testing::toolResult;

TEST(RedactedParametersJSON, MasksSecretKeysAndCutsLongTextsAndArrays) {
  const std::string long1500(1500, 'c');
  std::string emoji1001;
  for (int i = 0; i < 1001; ++i) emoji1001 += "\xF0\x9F\x91\x8D";
  json fileNames = json::array();
  for (int i = 0; i < 200'000; ++i)
    fileNames.push_back("Sources/File" + std::to_string(i) + ".swift");
  const json arguments = {{"content", long1500},
                          {"api_key", 12},
                          {"Password", "x"},
                          {"auth_token", json::array({1})},
                          {"monkey", "banana"},
                          {"keywords", "a b"},
                          {"notes", {{"token", "kept"}}},
                          {"exact", std::string(1000, 'e')},
                          {"thumbs", emoji1001},
                          {"big", json::array({std::string(5000, 'z')})},
                          {"few", json::array({"a.swift", 3, json::object()})},
                          {"files", fileNames}};
  auto text = redactedParametersJSON(arguments);
  ASSERT_TRUE(text.has_value());
  const json stored = json::parse(*text);
  EXPECT_EQ(stored["api_key"], "[REDACTED]");
  EXPECT_EQ(stored["Password"], "[REDACTED]");
  EXPECT_EQ(stored["auth_token"], "[REDACTED]");
  EXPECT_EQ(stored["monkey"], "[REDACTED]");
  EXPECT_EQ(stored["keywords"], "[REDACTED]");
  EXPECT_EQ(stored["notes"], json({{"token", "kept"}}));
  EXPECT_EQ(stored["content"], std::string(1000, 'c') + "\u2026");
  EXPECT_EQ(stored["exact"], std::string(1000, 'e'));
  EXPECT_EQ(stored["thumbs"], emoji1001.substr(0, 4000) + "\u2026");
  // Arrays keep the members that fit in 1000 characters and mark the cut with "…".
  EXPECT_EQ(stored["big"], json::array({"\u2026"}));
  EXPECT_EQ(stored["few"], arguments["few"]);
  const json& files = stored["files"];
  ASSERT_TRUE(files.is_array());
  EXPECT_EQ(files.back(), "\u2026");
  EXPECT_EQ(files[0], "Sources/File0.swift");
  EXPECT_LE(files.dump().size(), 1000u + 5u);
  EXPECT_GT(files.size(), 10u);
  // Compact, keys sorted.
  EXPECT_EQ(text->find('\n'), std::string::npos);
  EXPECT_EQ(text->rfind("{\"Password\":", 0), 0u);
}

class AuditThroughServer : public ::testing::Test {
 protected:
  testing::TempHome home;
  db::Connection db = home.openDatabase();

  db::Row lastRow() {
    auto rows = db.query(
        "SELECT tool_name, session_id, result_summary, impact_scope, timestamp, "
        "created_at, parameters_json FROM audit_log ORDER BY id DESC LIMIT 1");
    return rows.empty() ? db::Row{} : rows[0];
  }
};

TEST_F(AuditThroughServer, EveryCallLeavesOneRowWithItsSummaryAndScope) {
  struct Case {
    std::string tool;
    json arguments;
    std::string summary;
    db::Value scope;
  };
  const Case cases[] = {
      {"nodrel_audit_log", json::object(), "read:audit", db::Null{}},
      {"no_such_tool", json::object(), "error:unknown_tool", db::Null{}},
      {"", json::object(), "error:unknown_tool", db::Null{}},
      {"nodrel_remember",
       {{"project_path", "/p"}, {"content", "Prefer tabs"}},
       "write:remember",
       std::string("memories")},
      {"nodrel_remember",
       {{"project_path", "relative"}, {"content", "x"}},
       "rejected",
       std::string("memories")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool + " " + c.arguments.dump());
    const std::int64_t before = db::integerOf(*db.scalar("SELECT COUNT(*) FROM audit_log")).value();
    auto session = runServer({toolCall(1, c.tool, c.arguments)});
    ASSERT_EQ(session.responses.size(), 1u);
    EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM audit_log")).value(), before + 1);
    const db::Row row = lastRow();
    EXPECT_EQ(row[0], db::Value(c.tool));
    EXPECT_EQ(row[2], db::Value(c.summary));
    EXPECT_EQ(row[3], c.scope);
    EXPECT_EQ(row[4], row[5]);
  }
  auto unknown = runServer({toolCall(1, "no_such_tool", json::object())});
  EXPECT_EQ(toolResult(unknown.responses[0]), json({{"error", "Unknown tool: no_such_tool"}}));
}

TEST_F(AuditThroughServer, RowKeepsTheWholeArgumentsObjectRedacted) {
  runServer({toolCall(1, "nodrel_remember",
                      {{"project_path", "/p"},
                       {"content", "Keep commits small"},
                       {"surface", "cowork"},
                       {"session_id", "S-1"},
                       {"token", "hunter2"}})});
  const db::Row row = lastRow();
  EXPECT_EQ(row[1], db::Value(std::string("S-1")));
  const json parameters = json::parse(*db::textOf(row[6]));
  EXPECT_EQ(parameters["surface"], "cowork");
  EXPECT_EQ(parameters["token"], "[REDACTED]");
}

TEST_F(AuditThroughServer, ReadingClampsTheLimitAndFiltersBySession) {
  // Rows within one millisecond share a timestamp: the newest must still come first.
  for (int i = 0; i < 120; ++i) {
    db.run(
        "INSERT INTO audit_log (timestamp, session_id, tool_name, created_at) VALUES "
        "('2026-01-01T00:00:00.000+0000', ?, ?, '2026-01-01T00:00:00.000+0000')",
        {i % 2 == 0 ? db::Value(std::string("even")) : db::Value(db::Null{}),
         db::Value("t" + std::to_string(i))});
  }
  db.run(
      "INSERT INTO audit_log (timestamp, tool_name, created_at) VALUES ('0 not a time', 'bad', "
      "NULL)");
  struct Case {
    json arguments;
    std::size_t count;
  };
  const Case cases[] = {
      {json::object(), 20},
      {{{"limit", 0}}, 1},
      {{{"limit", -5}}, 1},
      {{{"limit", 500}}, 100},
      {{{"limit", "50"}}, 20},
      {{{"limit", 3.0}}, 3},
      {{{"limit", 2.5}}, 20},
      {{{"session_id", ""}}, 20},
      {{{"session_id", "even"}, {"limit", 100}}, 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.dump());
    auto session = runServer({toolCall(1, "nodrel_audit_log", c.arguments)});
    const json result = toolResult(session.responses[0]);
    EXPECT_EQ(result.size(), 3u);
    EXPECT_EQ(result["entries"].size(), c.count);
    EXPECT_EQ(result["count"], c.count);
    EXPECT_GE(result["total"].get<int>(), 121);
  }
  auto session = runServer({toolCall(1, "nodrel_audit_log", {{"limit", 100}})});
  const json entries = toolResult(session.responses[0])["entries"];
  // The first entry is this call's own predecessor rows' newest: t119, then t118, ...
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e["tool_name"].get<std::string>());
  auto t119 = std::find(names.begin(), names.end(), "t119");
  ASSERT_NE(t119, names.end());
  EXPECT_EQ(*(t119 + 1), "t118");
  EXPECT_EQ(std::find(names.begin(), names.end(), "bad"), names.end());
  const json& entry = entries[static_cast<std::size_t>(t119 - names.begin())];
  EXPECT_EQ(entry, json({{"id", entry["id"]},
                         {"timestamp", "2026-01-01T00:00:00.000+0000"},
                         {"session_id", ""},
                         {"tool_name", "t119"},
                         {"result_summary", ""},
                         {"impact_scope", ""}}));
}

TEST(AuditWithoutTable, FailuresAreLoggedAndTheCallStillAnswers) {
  testing::TempHome home;
  // The server makes missing tables, so the table is replaced by a view of nothing, which fails
  // every statement as a missing table would.
  home.openDatabase().exec(
      "DROP TABLE audit_log; CREATE VIEW audit_log AS SELECT * FROM audit_log_gone;");
  auto session = runServer({toolCall(1, "nodrel_audit_log", json::object())});
  ASSERT_EQ(session.responses.size(), 1u);
  EXPECT_EQ(toolResult(session.responses[0]),
            json({{"entries", json::array()}, {"count", 0}, {"total", 0}}));
  auto has = [&](const std::string& prefix) {
    for (const auto& line : session.errLines) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("[nodrel-mcp] getAuditLog error: "));
  EXPECT_TRUE(has("[nodrel:audit] count failed: "));
  EXPECT_TRUE(has("[nodrel:audit] insert failed: "));
}

}  // namespace
}  // namespace nodrel::server
