// `nodrel context` as the SessionStart hook runs it: the header, the recalled memories in three
// tiers of detail and the memory index, from a real database under a temporary HOME.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "platform/text.h"
#include "store/write_path.h"
#include "tests/support/run_program.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

constexpr std::string_view kToolsLine =
    "MCP tools: nodrel_audit_log, nodrel_expand_node, nodrel_get_context, nodrel_get_impact, "
    "nodrel_get_index, nodrel_get_skills, nodrel_ingest_project, nodrel_list_tasks, "
    "nodrel_match_conditions, nodrel_promote_skill, nodrel_report_build_failure, "
    "nodrel_report_test_failure, nodrel_save_context, nodrel_save_correction, "
    "nodrel_save_standing_instruction\n";

testing::ProgramRun context(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"context"};
  all.insert(all.end(), args.begin(), args.end());
  return testing::runNodrel(all, "");
}

std::string headerWithoutStore(const std::string& name) {
  return "# Nodrel session ready\nProject: " + name +
         "  (no registry entry \u2014 nodrel hasn't seen this path before)\n"
         "Loaded: 0 memories \u00b7 0 corrections \u00b7 0 index nodes \u00b7 0 standing "
         "instructions\n" +
         std::string(kToolsLine) + "\n";
}

void remember(db::Connection& db, const std::string& body, const std::string& project,
              store::MemoryType type = store::MemoryType::Fact) {
  store::MemoryWrite write;
  write.body = body;
  write.project = project;
  write.type = type;
  store::WriteState writes;
  store::writeMemory(db, writes, write);
}

std::size_t countPrefixed(const std::vector<std::string>& lines, std::string_view prefix) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

// What the server stored under one spelling of a directory (a trailing "/", a "." or a doubled
// "/", as shells and hosts hand them over) is the same project for the session start, the
// server's own context and the status line.
TEST(ContextCommand, OneProjectHoweverItsPathIsSpelt) {
  testing::TempHome home;
  home.openDatabase();
  const std::string project = "/home/u/work/harbor";
  const std::vector<std::pair<std::string, nlohmann::json>> calls = {
      {"nodrel_remember",
       {{"project_path", project + "/"}, {"content", "The harbor build uses pnpm, not npm."}}},
      {"nodrel_save_correction",
       {{"project_path", project + "/./"}, {"content", "Never push straight to main."}}},
      {"nodrel_save_standing_instruction",
       {{"project_path", "/home/u//work/harbor//"}, {"content", "Answer in British English."}}},
      {"nodrel_save_context",
       {{"project_path", project + "/"}, {"content", "Migrating the pier module."}}},
      {"nodrel_get_context", {{"project_path", project}}},
  };
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    lines.push_back(testing::toolCall(static_cast<int>(i) + 1, calls[i].first, calls[i].second));
  }
  const auto served = testing::runServer(lines);
  ASSERT_EQ(served.responses.size(), calls.size()) << ::testing::PrintToString(served.errLines);
  std::vector<nlohmann::json> results;
  for (const auto& response : served.responses) results.push_back(testing::toolResult(response));
  for (std::size_t i = 0; i + 1 < results.size(); ++i) {
    EXPECT_EQ(results[i].value("success", false), true) << results[i];
  }
  const auto& got = results.back();
  EXPECT_EQ(got["project_name"], "harbor");
  EXPECT_EQ(got["standing_instructions"].size(), 1u) << got;
  EXPECT_EQ(got["recent_corrections"].size(), 1u) << got;
  EXPECT_EQ(got["session_context"].size(), 1u) << got;
  EXPECT_NE(got["memories"].dump().find("uses pnpm"), std::string::npos) << got;

  auto db = home.openDatabase();
  EXPECT_EQ(db.query("SELECT DISTINCT project FROM memories"), (std::vector<db::Row>{{project}}));
  EXPECT_EQ(db.query("SELECT path FROM projects"), (std::vector<db::Row>{{project}}));
  const auto live = db::integerOf(*db.scalar("SELECT COUNT(*) FROM memories")).value();

  auto run = context({"--cwd", project});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Project: harbor  (matched by cwd)\nLoaded: " + std::to_string(live) +
                         " memories \u00b7 1 corrections \u00b7 "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("1 standing instructions\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("uses pnpm"), std::string::npos) << run.out;

  for (const std::string& spelling : {project, project + "/"}) {
    run = testing::runNodrel({"statusline", "--cwd", spelling}, "");
    EXPECT_EQ(run.out,
              "\u25cf Nodrel \u00b7 harbor \u00b7 " + std::to_string(live) + " memories\n");
  }
}

TEST(ContextCommand, WithoutDatabasePrintsOnlyTheHeaderAndCreatesNothing) {
  testing::TempHome home;
  for (const auto& [cwd, name] : std::vector<std::pair<std::string, std::string>>{
           {"/work/alpha", "alpha"}, {"/work/alpha/", "alpha"}, {"/", "/"}, {"rel", "rel"}}) {
    SCOPED_TRACE(cwd);
    auto run = context({"--verbose", "--cwd", cwd, "--limit", "abc"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, headerWithoutStore(name));
  }
  EXPECT_FALSE(std::filesystem::exists(home.dataDirectory()));
}

TEST(ContextCommand, MissingCwdFails) {
  testing::TempHome home;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--cwd"}, {"--limit", "--cwd", "/p"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    auto run = context(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "nodrel context: --cwd PATH is required\n");
  }
  // "--cwd --limit" takes the option's name as the directory.
  auto run = context({"--cwd", "--limit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, headerWithoutStore("--limit"));
}

// The installed hook passes "$CLAUDE_PROJECT_DIR", empty on hosts that do not set it: the
// SessionStart payload's cwd names the project, else the working directory does.
TEST(ContextCommand, AnEmptyCwdIsTakenFromThePayloadThenTheWorkingDirectory) {
  testing::TempHome home;
  const std::string payload =
      R"({"session_id":"S1","transcript_path":"/t","cwd":"/work/alpha","hook_event_name":"SessionStart","source":"startup"})";
  auto run = testing::runNodrel({"context", "--cwd", ""}, payload);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, headerWithoutStore("alpha"));
  for (const std::string& input :
       {std::string(""), std::string("not json"), std::string(R"({"cwd":""})")}) {
    SCOPED_TRACE(input);
    run = testing::runNodrel({"context", "--cwd", ""}, input);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, headerWithoutStore(std::filesystem::current_path().filename().string()));
  }
}

TEST(ContextCommand, LimitParsing) {
  testing::TempHome home;
  const std::string cwd = "/srv/alpha";
  {
    auto db = home.openDatabase();
    for (int i = 0; i < 3; ++i) remember(db, "srv alpha fact number " + std::to_string(i), cwd);
  }
  struct Case {
    std::vector<std::string> limit;
    std::size_t shown;
  };
  const Case cases[] = {
      {{"--limit", "0"}, 1},
      {{"--limit", "-3"}, 1},
      {{"--limit", "abc"}, 3},
      {{"--limit", ""}, 3},
      {{"--limit"}, 3},
      {{"--limit", "1", "--limit", "2"}, 2},
      {{"--limit", "+2"}, 2},
      {{"--limit", "+-2"}, 3},
      {{"--limit", "2x"}, 3},
      {{"--limit", "9223372036854775807"}, 3},
      {{"--limit", "-9223372036854775808"}, 1},
      {{"--limit", "99999999999999999999"}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.limit));
    std::vector<std::string> args = {"--cwd", cwd};
    args.insert(args.end(), c.limit.begin(), c.limit.end());
    auto run = context(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(countPrefixed(testing::splitLines(run.out), "- **[fact]** srv alpha fact"), c.shown);
  }
}

TEST(ContextCommand, ResolvesAncestorProjectAndCountsWithoutWriting) {
  testing::TempHome home;
  const std::string cwd = "/srv/alpha/sub/dir";
  {
    auto db = home.openDatabase();
    db.exec(R"sql(
      INSERT INTO projects (id, name, path, last_active_at) VALUES
        ('P1', 'alpha', '/srv/alpha', '2026-01-02T00:00:00.000+0000'),
        ('P2', 'quiet', '/srv/quiet', '2026-01-03T00:00:00.000+0000'),
        ('P3', 'beta', '/srv/beta', NULL),
        ('P4', 'gamma', '/srv/gamma', '2026-01-01T00:00:00.000+0000');
      INSERT INTO corrections (id, project_id, content) VALUES ('C1', 'P1', 'x'), ('C2', 'P1', 'y'),
        ('C3', 'P2', 'z');
      INSERT INTO standing_instructions (id, content, scope_type, project_id, active) VALUES
        ('S1', 'a', 'project', 'P1', 1), ('S2', 'b', 'global', NULL, 1),
        ('S3', 'c', 'project', 'P1', 0), ('S4', 'd', 'project', 'P3', 1);
    )sql");
    db.exec("DELETE FROM corrections WHERE id = 'C3'");
    remember(db, "sub dir memory one", cwd);
    remember(db, "sub dir memory two", cwd);
    remember(db, "gamma memory", "/srv/gamma");
    remember(db, "alpha root memory", "/srv/alpha");
  }
  const auto before =
      home.openDatabase().query("SELECT id, access_count, last_accessed FROM memories ORDER BY id");

  auto run = context({"--cwd", cwd});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string header =
      "# Nodrel session ready\n"
      "Project: alpha  (matched by cwd)\n"
      "Loaded: 2 memories \u00b7 2 corrections \u00b7 0 index nodes \u00b7 2 standing "
      "instructions\n" +
      std::string(kToolsLine) +
      "\nOther projects Nodrel knows about:\n"
      "- alpha (1 memories) \u2014 /srv/alpha\n"
      "- gamma (1 memories) \u2014 /srv/gamma\n"
      "- beta (0 memories) \u2014 /srv/beta\n"
      "Say \"switch to <name>\" and Claude will call nodrel_get_context for that project.\n\n";
  EXPECT_EQ(run.out.substr(0, header.size()), header);
  EXPECT_NE(run.out.find("\n# Nodrel context for alpha\n\n## Full context (top matches)\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("- **[fact]** sub dir memory one (project: " + cwd + ")\n"),
            std::string::npos);

  auto db = home.openDatabase();
  EXPECT_EQ(db.query("SELECT id, access_count, last_accessed FROM memories ORDER BY id"), before);
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM ml_signals")), 0);

  // Unregistered: only global instructions, no corrections.
  auto unregistered = context({"--cwd", "/elsewhere/x"});
  ASSERT_EQ(unregistered.status, 0);
  EXPECT_NE(unregistered.out.find(
                "Project: x  (no registry entry \u2014 nodrel hasn't seen this path before)\n"),
            std::string::npos);
  EXPECT_NE(unregistered.out.find(
                "Loaded: 0 memories \u00b7 0 corrections \u00b7 0 index nodes \u00b7 1 standing"),
            std::string::npos);
}

// What a body looks like in each tier: whole up to 400 characters, its first sentence, or its
// first five words.
// The hooks store memories without registering the project: a path with memories of its own is
// not one nodrel has never seen.
TEST(ContextCommand, AnUnregisteredPathWithMemoriesSaysSo) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    remember(db, "captured by the session end hook", "/work/hooked");
    remember(db, "captured by the stop hook", "/work/hooked");
    remember(db, "one for another path", "/work/single");
  }
  struct Case {
    std::string cwd;
    std::string want;
  };
  const Case cases[] = {
      {"/work/hooked",
       "Project: hooked  (no registry entry \u2014 2 memories stored for this path)\n"},
      {"/work/single",
       "Project: single  (no registry entry \u2014 1 memory stored for this path)\n"},
      {"/work/new",
       "Project: new  (no registry entry \u2014 nodrel hasn't seen this path before)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cwd);
    auto run = context({"--cwd", c.cwd});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(c.want), std::string::npos) << run.out;
  }
}

TEST(ContextCommand, SplitsRecalledMemoriesIntoThreeTiers) {
  testing::TempHome home;
  const std::string cwd = "/srv/alpha";
  std::map<std::string, std::string> bodies;  // by the tag that starts it
  {
    auto db = home.openDatabase();
    for (int i = 0; i < 16; ++i) {
      const std::string tag = "m" + std::string(i < 10 ? "0" : "") + std::to_string(i);
      std::string body = tag + " srv alpha \u00e9t\u00e9 note! ";
      body += std::string((i % 2 ? 401 : 400) - platform::graphemeCount(body), 'x');
      bodies[tag] = body;
      remember(db, body, cwd);
    }
  }
  auto run = context({"--cwd", cwd, "--limit", "16"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = testing::splitLines(run.out);
  const auto at = [&](std::string_view heading) {
    return std::find(lines.begin(), lines.end(), heading) - lines.begin();
  };
  const auto full = at("## Full context (top matches)");
  const auto related = at("## Related context");
  const auto also = at("## Also known");
  ASSERT_LT(also, static_cast<long>(lines.size()));
  EXPECT_EQ(related - full, 7);  // heading, 5 lines, empty line
  EXPECT_EQ(also - related, 12);
  const std::string suffix = " (project: " + cwd + ")";
  for (auto i = full + 1; i < static_cast<long>(lines.size()) && !lines[i].empty(); ++i) {
    SCOPED_TRACE(lines[i]);
    const std::string tag = lines[i].substr(lines[i].find(']') + (i < related ? 4 : 2), 3);
    const std::string& body = bodies.at(tag);
    if (i < related) {
      const bool whole = platform::graphemeCount(body) <= 400;
      EXPECT_EQ(
          lines[i],
          "- **[fact]** " + (whole ? body : platform::graphemePrefix(body, 397) + "...") + suffix);
    } else if (i < also) {
      EXPECT_EQ(lines[i], "- [fact] " + tag + " srv alpha \u00e9t\u00e9 note!" + suffix);
    } else {
      EXPECT_EQ(lines[i], "- [fact] " + tag + " srv alpha \u00e9t\u00e9 note!..." + suffix);
    }
  }
}

TEST(ContextCommand, ShowsNoMemoryOfAnotherProject) {
  testing::TempHome home;
  const std::string cwd = "/home/dana/work/checkout";
  const std::string other = "/home/dana/work/checkout-admin";
  {
    auto db = home.openDatabase();
    const char* const notes[] = {
        "The checkout page retries the card payment once before showing the error.",
        "Checkout totals are rounded with the shared money formatter.",
        "Decided with Lena Fischer that checkout keeps the cart for seven days."};
    for (const char* note : notes) {
      remember(db, note, cwd);
      remember(db, std::string("Admin work: ") + note, other);
    }
  }
  auto run = context({"--cwd", cwd});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = testing::splitLines(run.out);
  EXPECT_EQ(countPrefixed(lines, "- **[fact]** "), 3u) << run.out;
  EXPECT_EQ(run.out.find("Admin work"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("(project: " + other + ")"), std::string::npos) << run.out;
}

TEST(ContextCommand, PrintsTheMemoryIndexCheapestFirst) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    remember(db, std::string(120, 'b'), "/elsewhere");
    remember(db, "short root", "/elsewhere");
    const std::string longID = store::memoryContentHash(std::string(120, 'b'));
    const std::string shortID = store::memoryContentHash("short root");
    db.run("UPDATE memories SET tags = 'arch,db' WHERE id = ?", {db::text(longID)});
    // A deleted memory stays out of the index.
    remember(db, "deleted root", "/elsewhere");
    const std::string deletedID = store::memoryContentHash("deleted root");
    db.run("UPDATE memories SET deleted_at = '2026-01-01T00:00:00.000+0000' WHERE id = ?",
           {db::text(deletedID)});
    db.run(
        "INSERT INTO memory_index VALUES (?, 0, 40, 1), (?, 1, 7, 1), ('gone', 0, 1, 1), "
        "(?, 2, 3, 0), (?, 0, 2, 1)",
        {db::text(longID), db::text(shortID), db::text(shortID + "x"), db::text(deletedID)});
  }
  auto run = context({"--cwd", "/srv/none"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string longID = store::memoryContentHash(std::string(120, 'b'));
  const std::string shortID = store::memoryContentHash("short root");
  const std::string index =
      "## Memory index (call nodrel_expand_node to load subtree)\n\n"
      "_2 top-level nodes \u00b7 ~47 tokens if all expanded_\n\n"
      "- `" +
      shortID +
      "` (~7t): short root\n"
      "- `" +
      longID + "` (~40t) [arch,db]: " + std::string(100, 'b') + "\n\n";
  ASSERT_GE(run.out.size(), index.size());
  EXPECT_EQ(run.out.substr(run.out.size() - index.size()), index);
  EXPECT_NE(run.out.find(" \u00b7 2 index nodes \u00b7 "), std::string::npos);
}

TEST(ContextCommand, OddRowsDoNotStopTheSessionStart) {
  testing::TempHome home;
  const std::string cwd = "/srv/alpha";
  {
    auto db = home.openDatabase();
    remember(db, "plain srv alpha memory", cwd);
    db.run(
        "INSERT INTO memories (id, tier, body, project, type, created_at, last_accessed) "
        "VALUES ('odd', 'episodic', ?, ?, 'fact', 'yesterday', NULL)",
        {db::text("srv alpha \xff\xfe broken. bytes"), db::text(cwd)});
    db.exec("INSERT INTO memory_index VALUES ('odd', 'deep', 'many', 1)");
    db.exec("INSERT INTO projects (id, name, path) VALUES ('X', NULL, '/srv/noname')");
  }
  auto run = context({"--cwd", cwd, "--limit", "9223372036854775807"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("# Nodrel session ready\n", 0), 0u);
  EXPECT_NE(run.out.find("- **[fact]** plain srv alpha memory"), std::string::npos);
  EXPECT_NE(run.out.find("_1 top-level nodes \u00b7 ~0 tokens if all expanded_"),
            std::string::npos);
}

}  // namespace
}  // namespace nodrel
