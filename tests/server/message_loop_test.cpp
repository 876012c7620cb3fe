// The server as a host sees it: request lines in, response lines and diagnostics out.
#include <gtest/gtest.h>

#include <string>

#include "db/schema.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;
using testing::runServer;

class MessageLoop : public ::testing::Test {
 protected:
  testing::TempHome home;
  void SetUp() override { home.openDatabase(); }
};

TEST_F(MessageLoop, AnswersRequestsInOrderAndLogsTheRest) {
  auto session = runServer({
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"1999-01-01"}})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      "   \t ",
      "",
      R"([{"jsonrpc":"2.0","id":9,"method":"ping"}])",
      R"({"jsonrpc":"2.0","id":9,"method":"ping")",
      "\t"
      R"({"jsonrpc":"2.0","id":"abc","method":"ping"})"
      "\u3000",
      R"({"jsonrpc":"2.0","id":null,"method":"nope"})",
      R"({"jsonrpc":"2.0","id":0})",
      R"({"jsonrpc":"2.0","id":"","method":"tools/list"})",
      "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"initialize\"}\r",
  });
  EXPECT_EQ(session.status, 0);
  ASSERT_EQ(session.responses.size(), 6u) << session.rawOut;

  const json& init = session.responses[0];
  EXPECT_EQ(init["jsonrpc"], "2.0");
  EXPECT_EQ(init["id"], 1);
  EXPECT_EQ(init["result"]["protocolVersion"], "2024-11-05");
  EXPECT_EQ(init["result"]["capabilities"], json({{"tools", json::object()}}));
  EXPECT_EQ(init["result"]["serverInfo"], json({{"name", "nodrel-mcp"}, {"version", "1.0.0"}}));

  EXPECT_EQ(session.responses[1]["id"], "abc");
  EXPECT_EQ(session.responses[1]["result"], json::object());
  EXPECT_TRUE(session.responses[2]["id"].is_null());
  EXPECT_EQ(session.responses[2]["error"],
            json({{"code", -32601}, {"message", "Method not found: nope"}}));
  EXPECT_EQ(session.responses[3]["id"], 0);
  EXPECT_EQ(session.responses[3]["error"]["message"], "Method not found: ");
  EXPECT_EQ(session.responses[4]["id"], "");
  EXPECT_EQ(session.responses[4]["result"]["tools"].size(), 16u);
  EXPECT_EQ(session.responses[5]["id"], 7);

  const std::vector<std::string> wantErr = {
      "[nodrel-mcp] server started",
      "[nodrel-mcp] notification: notifications/initialized",
      R"([nodrel-mcp] malformed JSON: [{"jsonrpc":"2.0","id":9,"method":"ping"}])",
      R"([nodrel-mcp] malformed JSON: {"jsonrpc":"2.0","id":9,"method":"ping")",
      "[nodrel-mcp] stdin closed, exiting",
  };
  EXPECT_EQ(session.errLines, wantErr);
}

TEST_F(MessageLoop, EveryResponseIsOneCompactLine) {
  auto session = runServer({R"({"id":1,"method":"tools/list"})",
                            testing::toolCall(2, "nodrel_audit_log", json::object())});
  auto lines = testing::splitLines(session.rawOut);
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_TRUE(json::accept(line)) << line;
}

TEST_F(MessageLoop, HostileLinesAreRefusedAndTheLoopGoesOn) {
  const std::string deep(128, '[');  // 129 levels with the object
  const std::string nested128 =
      std::string(126, '[') + std::string(126, ']');  // 128 levels with the two objects
  const std::string longLine = "{\"x\": \"" + std::string(300, 'a');
  auto session = runServer({
      "{\"a\":" + deep,
      R"({"id":1,"method":"ping","params":{"p":)" + nested128 + "}}",
      longLine,
      R"({"id":2,"method":"ping"})",
  });
  ASSERT_EQ(session.responses.size(), 2u);
  EXPECT_EQ(session.responses[0]["id"], 1);
  EXPECT_EQ(session.responses[1]["id"], 2);
  ASSERT_GE(session.errLines.size(), 4u);
  EXPECT_EQ(session.errLines[1].rfind("[nodrel-mcp] malformed JSON: {\"a\":[[[", 0), 0u);
  // The echo is cut at 200 characters and marked.
  EXPECT_EQ(session.errLines[2],
            "[nodrel-mcp] malformed JSON: " + longLine.substr(0, 200) + "\u2026");
}

TEST_F(MessageLoop, ALineOverTheLimitIsDroppedUpToItsLineFeed) {
  std::string huge =
      "{\"id\":1,\"method\":\"ping\",\"pad\":\"" + std::string(65u << 20, 'x') + "\"}";
  auto session = runServer({huge, R"({"id":2,"method":"ping"})"});
  ASSERT_EQ(session.responses.size(), 1u);
  EXPECT_EQ(session.responses[0]["id"], 2);
  ASSERT_GE(session.errLines.size(), 2u);
  EXPECT_EQ(session.errLines[1].rfind("[nodrel-mcp] malformed JSON: {\"id\":1", 0), 0u);
  EXPECT_LT(session.errLines[1].size(), 1000u);
}

TEST_F(MessageLoop, InvalidUtf8FromTheDatabaseStillReachesTheClient) {
  {
    auto db = home.openDatabase();
    db.run(
        "INSERT INTO audit_log (timestamp, session_id, tool_name, created_at) VALUES "
        "('2026-01-01T00:00:00.000+0000', ?, 'x', '2026-01-01T00:00:00.000+0000')",
        {db::Value(std::string("bad\xff\xfe"))});
  }
  auto session = runServer({testing::toolCall(1, "nodrel_audit_log", {{"limit", 100}})});
  ASSERT_EQ(session.responses.size(), 1u) << session.rawOut;
  auto result = testing::toolResult(session.responses[0]);
  bool found = false;
  for (const auto& entry : result["entries"]) {
    if (entry["tool_name"] == "x") {
      found = true;
      EXPECT_EQ(entry["session_id"], "bad\uFFFD\uFFFD");
    }
  }
  EXPECT_TRUE(found);
}

TEST(ServerStartup, FatalWhenTheDatabaseCannotBeOpened) {
  testing::TempHome home;
  // A directory where the database file should be makes the open fail.
  std::filesystem::create_directories(home.databasePath());
  auto session = runServer({});
  EXPECT_EQ(session.status, 1);
  EXPECT_EQ(session.rawOut, "");
  ASSERT_EQ(session.errLines.size(), 1u);
  EXPECT_EQ(session.errLines[0].rfind("[nodrel-mcp] fatal: could not open database at " +
                                          home.databasePath().string() + ": ",
                                      0),
            0u)
      << session.errLines[0];
}

TEST(ServerStartup, CreatesTheDataDirectoryAndSessionContextSilently) {
  testing::TempHome home;
  auto first = runServer({R"({"id":1,"method":"ping"})"});
  EXPECT_EQ(first.status, 0);
  EXPECT_TRUE(std::filesystem::exists(home.databasePath()));
  {
    auto db = db::Connection::open(home.databasePath());
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'session_context'"),
              db::Value(std::int64_t{1}));
  }
  // With the companion's tables in place the ALTER statements fail each start, silently.
  home.openDatabase();
  auto second = runServer({});
  EXPECT_EQ(second.errLines, (std::vector<std::string>{"[nodrel-mcp] server started",
                                                       "[nodrel-mcp] stdin closed, exiting"}));
}

// A host is often set up before anyone runs `nodrel-app init`: the server makes the tables.
TEST(ServerStartup, OnAnEmptyHomeTheToolsWorkAtOnce) {
  testing::TempHome home;
  const json remembered = testing::callTool(
      "nodrel_remember",
      {{"project_path", "/work/app"}, {"content", "Release builds need LTO switched off"}});
  EXPECT_EQ(remembered["success"], true) << remembered.dump();
  const json context = testing::callTool("nodrel_get_context", {{"project_path", "/work/app"}});
  EXPECT_NE(context.dump().find("Release builds need LTO switched off"), std::string::npos)
      << context.dump();
  auto db = db::Connection::open(home.databasePath());
  for (const auto& name : db::schemaTableNames()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = ?", {db::text(name)}),
              db::Value(std::int64_t{1}));
  }
  // The server's own column came after the companion's tables, so it is there too.
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM pragma_table_info('corrections') WHERE name = "
                      "'surface'"),
            db::Value(std::int64_t{1}));
}

// --version is what a user types to check an install: it must answer, not serve.
TEST(ServerStartup, ArgumentsAreAnsweredOrRefusedWithoutServing) {
  testing::TempHome home;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string errStart;
  };
  const std::string usage = "Usage: NodrelMCP [--version | --help]\n";
  const Case cases[] = {
      {{"--version"}, 0, "nodrel-mcp 1.0.0\n", ""},
      {{"--help"}, 0, usage, ""},
      {{"-v"}, 2, "", "NodrelMCP: unexpected argument: -v\n" + usage},
      {{"--version", "extra"}, 2, "", "NodrelMCP: unexpected argument: --version\n" + usage},
      {{"serve"}, 2, "", "NodrelMCP: unexpected argument: serve\n" + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    // A request waits on standard input; an answer must not read it.
    auto run = testing::runProgram(testing::binaryPath("server/NodrelMCP"), c.args,
                                   "{\"id\":1,\"method\":\"tools/list\"}\n");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << run.out;
    EXPECT_EQ(run.out.find("\"jsonrpc\""), std::string::npos);
    EXPECT_EQ(run.err.rfind(c.errStart, 0), 0u) << run.err;
    if (c.status == 0) {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_FALSE(std::filesystem::exists(home.dataDirectory()));
  }
}

TEST(ServerStartup, AClientThatGoesAwayEndsTheServerCleanly) {
  testing::TempHome home;
  home.openDatabase();
  EXPECT_EQ(
      testing::runServerUnread(std::vector<std::string>(50, R"({"id":1,"method":"tools/list"})")),
      0);
}

}  // namespace
}  // namespace nodrel
