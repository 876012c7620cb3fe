#include "db/schema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "db/error.h"
#include "tests/support/temp_home.h"

namespace nodrel::db {
namespace {

// Every object of the schema with its SQL, so that two states can be compared whole.
std::vector<Row> schemaDump(Connection& c) {
  return c.query("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name");
}

std::vector<std::string> columnNames(Connection& c, const std::string& table) {
  std::vector<std::string> names;
  for (const auto& row : c.query("SELECT name FROM pragma_table_info(?)", {text(table)})) {
    names.push_back(*textOf(row[0]));
  }
  return names;
}

std::int64_t count(Connection& c, std::string_view sql, std::initializer_list<Value> b = {}) {
  return integerOf(*c.scalar(sql, b)).value();
}

constexpr std::string_view kInsertMemory = R"sql(
  INSERT INTO memories (id, tier, body, body_tokens, project, context_path, type, tags,
    created_at, last_accessed, access_count, strength, importance, pinned, evidence_count,
    parent_id, source_session, predicted_future_use, condition_type, condition_value,
    surface_condition, trigger_keywords, depth, is_top_level, active_rule_ids)
  VALUES (?, 'episodic', ?, 2, '/p', NULL, 'fact', ?, '2026-01-15T14:03:07.250+0000',
    '2026-01-15T14:03:07.250+0000', 1, 1.0, 5, 0, 1, NULL, NULL, 0.5, ?, ?, ?, ?, ?, ?, ?))sql";

void insertMemory(Connection& c, const std::string& id, const std::string& body,
                  const Value& tags = Null{}) {
  c.run(kInsertMemory, {text(id), text(body), tags, Null{}, Null{}, Null{}, Null{}, std::int64_t{0},
                        std::int64_t{0}, Null{}});
}

class SchemaTest : public ::testing::Test {
 protected:
  testing::TestDatabase database_;
  Connection& db() { return database_.db(); }
};

TEST_F(SchemaTest, CreatesEveryNamedTable) {
  std::set<std::string> present;
  for (const auto& row : db().query("SELECT name FROM sqlite_master WHERE type = 'table'")) {
    present.insert(*textOf(row[0]));
  }
  ASSERT_EQ(schemaTableNames().size(), 28u);
  for (const auto& name : schemaTableNames()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(present.count(name));
  }
}

TEST_F(SchemaTest, RunningAgainChangesNothingAndKeepsRows) {
  insertMemory(db(), "m1", "kept body");
  db().run("INSERT INTO projects (id, name, path, created_at) VALUES ('P', 'p', '/p', 't')");
  const auto before = schemaDump(db());
  createSchema(db());
  createSchema(db());
  EXPECT_EQ(schemaDump(db()), before);
  EXPECT_EQ(count(db(), "SELECT COUNT(*) FROM memories WHERE id = 'm1'"), 1);
  EXPECT_EQ(count(db(), "SELECT COUNT(*) FROM projects"), 1);
}

// The server and the writing commands complete a file that lacks tables, and leave a complete
// one alone: on a connection that may not write, a complete schema is no error.
TEST(EnsureSchema, CompletesAPartialDatabaseAndLeavesACompleteOneAlone) {
  Connection c = Connection::openInMemory();
  c.exec(
      "CREATE TABLE projects (id TEXT PRIMARY KEY NOT NULL, name TEXT, path TEXT UNIQUE, "
      "context_summary TEXT, created_at TEXT, last_active_at TEXT)");
  c.run("INSERT INTO projects (id, name, path) VALUES ('P', 'p', '/p')");
  ensureSchema(c);
  for (const auto& name : schemaTableNames()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(count(c, "SELECT COUNT(*) FROM sqlite_master WHERE name = ?", {text(name)}), 1);
  }
  EXPECT_EQ(count(c, "SELECT COUNT(*) FROM projects"), 1);
  const auto before = schemaDump(c);
  c.exec("PRAGMA query_only = ON;");
  EXPECT_NO_THROW(ensureSchema(c));
  EXPECT_EQ(schemaDump(c), before);
}

// A store made before the link table lost its index by source still has it: completing the
// schema at open drops it, and keeps every link.
TEST(EnsureSchema, DropsTheLinkIndexesNoStatementNeeds) {
  Connection c = Connection::openInMemory();
  createSchema(c);
  c.exec(
      "CREATE INDEX idx_memory_links_src_walk ON memory_links(src_id, link_type, dst_id, "
      "weight); CREATE INDEX idx_memory_links_dst ON memory_links(dst_id);");
  c.run(
      "INSERT INTO memory_links (src_id, dst_id, link_type, weight) VALUES ('a', 'b', 'entity', "
      "0.3)");
  ensureSchema(c);
  EXPECT_EQ(count(c,
                  "SELECT COUNT(*) FROM sqlite_master WHERE name IN "
                  "('idx_memory_links_src_walk', 'idx_memory_links_dst')"),
            0);
  EXPECT_EQ(count(c, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'idx_memory_links_dst_walk'"),
            1);
  EXPECT_EQ(count(c, "SELECT COUNT(*) FROM memory_links"), 1);
}

// The link table as earlier versions made it: a rowid, a unique key beside it, the walk index.
void useRowidLinkTable(Connection& c) {
  c.exec(
      "DROP TABLE memory_links;"
      "CREATE TABLE memory_links (src_id TEXT, dst_id TEXT, link_type TEXT, weight REAL, "
      "created_at TEXT, UNIQUE(src_id, dst_id, link_type));"
      "CREATE INDEX idx_memory_links_dst_walk ON memory_links(dst_id, link_type, src_id, "
      "weight);");
}

bool linkTableHasRowid(Connection& c) {
  return count(c, "SELECT wr FROM pragma_table_list WHERE name = 'memory_links'") == 0;
}

// A small rowid link table is rebuilt at open keyed by (source, target, type), every link kept
// with its values; a large one is left as it is, since a hook must not spend its time rebuilding
// it, and opening again does not try. Either way a link written twice is stored once.
TEST(EnsureSchema, RebuildsOnlyASmallRowidLinkTableKeepingEveryLink) {
  const std::string dump =
      "SELECT group_concat(quote(src_id) || quote(dst_id) || quote(link_type) || quote(weight) || "
      "quote(created_at), ';') FROM (SELECT * FROM memory_links ORDER BY 1, 2, 3)";
  for (const bool large : {false, true}) {
    SCOPED_TRACE(large ? "large" : "small");
    Connection c = Connection::openInMemory();
    createSchema(c);
    EXPECT_FALSE(linkTableHasRowid(c));
    useRowidLinkTable(c);
    c.exec(
        "INSERT INTO memory_links VALUES ('a', 'b', 'entity', 0.3, 't1'), "
        "('a', 'b', 'semantic', 0.7, 't2'), ('b', 'a', 'temporal', 0.5, NULL), "
        "('a', 'code:x.go', 'entity', NULL, 't3');");
    // Past the bound the largest rowid tells, without counting.
    if (large)
      c.exec(
          "INSERT INTO memory_links (rowid, src_id, dst_id, link_type) VALUES (9000, 'c', 'd', "
          "'entity');");
    const auto before = c.scalar(dump);
    ensureSchema(c);
    EXPECT_EQ(c.scalar(dump), before);
    EXPECT_EQ(linkTableHasRowid(c), large);
    EXPECT_EQ(count(c,
                    "SELECT COUNT(*) FROM sqlite_master WHERE tbl_name = 'memory_links' AND "
                    "type = 'index' AND sql IS NOT NULL"),
              1);
    EXPECT_EQ(count(c, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'memory_links_rowid'"), 0);
    if (!large) {
      // Rebuilt, it is the table a new database makes.
      Connection fresh = Connection::openInMemory();
      createSchema(fresh);
      const std::string table = "SELECT sql FROM sqlite_master WHERE name = 'memory_links'";
      EXPECT_EQ(c.scalar(table), fresh.scalar(table));
    }
    c.run("INSERT OR IGNORE INTO memory_links VALUES ('a', 'b', 'entity', 0.9, 't9')");
    EXPECT_EQ(count(c, "SELECT COUNT(*) FROM memory_links"), large ? 5 : 4);
    const auto schema = schemaDump(c);
    c.exec("PRAGMA query_only = ON;");
    EXPECT_NO_THROW(ensureSchema(c));
    EXPECT_EQ(schemaDump(c), schema);
  }
}

TEST_F(SchemaTest, MemoriesHasTheTwentySixColumnsAndARowid) {
  const std::vector<std::string> want = {"id",
                                         "tier",
                                         "body",
                                         "body_tokens",
                                         "project",
                                         "context_path",
                                         "type",
                                         "tags",
                                         "created_at",
                                         "last_accessed",
                                         "access_count",
                                         "strength",
                                         "importance",
                                         "pinned",
                                         "evidence_count",
                                         "parent_id",
                                         "source_session",
                                         "predicted_future_use",
                                         "condition_type",
                                         "condition_value",
                                         "surface_condition",
                                         "trigger_keywords",
                                         "depth",
                                         "is_top_level",
                                         "deleted_at",
                                         "active_rule_ids"};
  EXPECT_EQ(columnNames(db(), "memories"), want);
  insertMemory(db(), "m1", "b");
  EXPECT_TRUE(
      integerOf(*db().scalar("SELECT rowid FROM memories WHERE id = ? LIMIT 1", {text("m1")})));
}

// The readers test storage classes and take a value of another class as absent, so each
// column's affinity must turn what a writer binds into the class its reader expects.
TEST_F(SchemaTest, ColumnAffinitiesGiveTheStorageClassesReadersExpect) {
  insertMemory(db(), "m1", "b");
  db().run(
      "INSERT INTO code_files (id, project, relative_path, content_hash, last_parsed) "
      "VALUES ('f', '/p', 'a.swift', 'h', 't')");
  struct Case {
    std::string table, column, key, value, want;
  };
  const Case cases[] = {
      {"memories", "importance", "id = 'm1'", "7.0", "integer"},
      {"memories", "pinned", "id = 'm1'", "1", "integer"},
      {"memories", "access_count", "id = 'm1'", "3", "integer"},
      {"memories", "strength", "id = 'm1'", "1", "real"},
      {"memories", "predicted_future_use", "id = 'm1'", "0", "real"},
      {"memories", "created_at", "id = 'm1'", "20260115", "text"},
      {"code_files", "fragility_score", "id = 'f'", "1", "real"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table + "." + c.column);
    // Bound as text: the column's affinity decides the class that is stored.
    db().run("UPDATE " + c.table + " SET " + c.column + " = ? WHERE " + c.key, {text(c.value)});
    EXPECT_EQ(*textOf(*db().scalar("SELECT typeof(" + c.column + ") FROM " + c.table + " WHERE " +
                                   c.key)),
              c.want);
  }
}

TEST_F(SchemaTest, MemoryIdentifiersAreUnique) {
  insertMemory(db(), "m1", "first");
  db().run("UPDATE memories SET deleted_at = 't' WHERE id = 'm1'");
  // A write of a soft-deleted body is refused by the key rather than shadowing the old row.
  EXPECT_THROW(insertMemory(db(), "m1", "first"), Error);
  EXPECT_EQ(count(db(), "SELECT COUNT(*) FROM memories"), 1);
}

TEST_F(SchemaTest, FullTextRowsJoinMemoriesByRowid) {
  insertMemory(db(), "m1", "the quick brown fox");
  insertMemory(db(), "m2", "lazy dogs sleep");
  for (const char* id : {"m1", "m2"}) {
    auto rowid = *db().scalar("SELECT rowid FROM memories WHERE id = ? LIMIT 1", {text(id)});
    auto body = *db().scalar("SELECT body FROM memories WHERE id = ?", {text(id)});
    db().run("INSERT INTO memories_fts(rowid, body, tags) VALUES (?, ?, ?)",
             {rowid, body, text("")});
  }
  auto rows = db().query(
      "SELECT m.id, bm25(memories_fts) AS rank FROM memories_fts "
      "JOIN memories m ON m.rowid = memories_fts.rowid "
      "WHERE memories_fts MATCH ? AND m.deleted_at IS NULL ORDER BY rank",
      {text("\"dogs\"")});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(*textOf(rows[0][0]), "m2");
  EXPECT_TRUE(realOf(rows[0][1]));
  EXPECT_EQ((std::vector<std::string>{"body", "tags"}), columnNames(db(), "memories_fts"));
}

// Each case runs its statement twice and expects the table to keep `rows` rows afterwards.
TEST_F(SchemaTest, DeduplicatingStatementsFindTheirKeys) {
  struct Case {
    std::string name, statement;
    std::vector<Value> first, second;
    std::string countQuery;
    std::int64_t rows;
  };
  const Case cases[] = {
      {"memory link written twice",
       "INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
       "VALUES (?, ?, 'semantic', ?, ?)",
       {text("a"), text("b"), 0.4, text("t1")},
       {text("a"), text("b"), 0.8, text("t2")},
       "SELECT COUNT(*) FROM memory_links WHERE weight = 0.4",
       1},
      {"one pair linked by two types",
       "INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
       "VALUES (?, ?, ?, 1.0, 't')",
       {text("a"), text("b"), text("semantic")},
       {text("a"), text("b"), text("entity")},
       "SELECT COUNT(*) FROM memory_links",
       2},
      {"vector stored twice",
       "INSERT OR REPLACE INTO memory_vectors (memory_id, embedding, model, created_at)\n"
       "VALUES (?, ?, ?, ?)",
       {text("m"), Blob{"\x01\x02\x03\x04"}, text("NLEmbedding"), text("t1")},
       {text("m"), Blob{"\x05\x06\x07\x08"}, text("NLEmbedding"), text("t2")},
       "SELECT COUNT(*) FROM memory_vectors WHERE created_at = 't2'",
       1},
      {"project registered twice",
       "INSERT OR IGNORE INTO projects (id, name, path, created_at) VALUES (?, ?, ?, ?)",
       {text("P1"), text("app"), text("/work/app"), text("t1")},
       {text("P2"), text("app"), text("/work/app"), text("t2")},
       "SELECT COUNT(*) FROM projects WHERE id = 'P1'",
       1},
      {"session captured twice",
       "INSERT OR REPLACE INTO captured_sessions (session_id, captured_at, memory_count, "
       "extractor)\n    VALUES (?, ?, ?, ?)",
       {text("s"), text("t1"), std::int64_t{0}, text("heuristic")},
       {text("s"), text("t2"), std::int64_t{3}, text("heuristic")},
       "SELECT COUNT(*) FROM captured_sessions WHERE memory_count = 3",
       1},
      {"checkpoint written twice",
       "INSERT OR IGNORE INTO checkpoints\n"
       "    (id, session_id, project_path, marker_created_at, consumed_at, note)\n"
       "VALUES (?, ?, ?, ?, ?, ?)",
       {text("C"), text("s"), text("/p"), text(""), text("t1"), text("first")},
       {text("C"), text("s"), text("/p"), text(""), text("t2"), text("second")},
       "SELECT COUNT(*) FROM checkpoints WHERE note = 'first'",
       1},
      {"file ingested twice",
       "INSERT INTO code_files (id, project, relative_path, language, content_hash, "
       "last_parsed)\nVALUES (?, ?, ?, ?, ?, ?)\nON CONFLICT(id) DO UPDATE SET\n"
       "    content_hash = excluded.content_hash,\n    last_parsed  = excluded.last_parsed",
       {text("f"), text("/p"), text("a.swift"), text("swift"), text("h1"), text("t1")},
       {text("f"), text("/q"), text("b.swift"), Null{}, text("h2"), text("t2")},
       "SELECT COUNT(*) FROM code_files WHERE project = '/p' AND content_hash = 'h2'",
       1},
      {"co-change counted twice",
       "    INSERT INTO co_changes (project, file_a, file_b, count, last_seen)\n"
       "    VALUES (?, ?, ?, 1, ?)\n"
       "    ON CONFLICT(file_a, file_b, project) DO UPDATE\n"
       "    SET count = count + 1, last_seen = excluded.last_seen",
       {text("/p"), text("a"), text("b"), text("t1")},
       {text("/p"), text("a"), text("b"), text("t2")},
       "SELECT COUNT(*) FROM co_changes WHERE count = 2 AND last_seen = 't2'",
       1},
      {"same pair in another project",
       "    INSERT INTO co_changes (project, file_a, file_b, count, last_seen)\n"
       "    VALUES (?, ?, ?, 1, ?)\n"
       "    ON CONFLICT(file_a, file_b, project) DO UPDATE\n"
       "    SET count = count + 1, last_seen = excluded.last_seen",
       {text("/p"), text("a"), text("b"), text("t1")},
       {text("."), text("a"), text("b"), text("t1")},
       "SELECT COUNT(*) FROM co_changes WHERE count = 1",
       2},
      {"one import written twice in a file",
       "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id)\nVALUES (?, ?, ?, ?)",
       {text("a.ts"), text("./b"), text("imports"), text("f")},
       {text("a.ts"), text("./b"), text("imports"), text("f")},
       "SELECT COUNT(*) FROM code_edges",
       2},
      {"overloads contained twice",
       "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id)\nVALUES (?, ?, ?, ?)",
       {text("T"), text("run"), text("contains"), text("f")},
       {text("T"), text("run"), text("contains"), text("f")},
       "SELECT COUNT(*) FROM code_edges",
       2},
      {"reference linked again",
       "INSERT OR IGNORE INTO code_edges (from_symbol, to_symbol, edge_type, file_id)\n"
       "VALUES (?, ?, ?, ?)",
       {text("a.ts"), text("file:g"), text("references"), text("f")},
       {text("a.ts"), text("file:g"), text("references"), text("f")},
       "SELECT COUNT(*) FROM code_edges",
       1},
      {"call recorded again",
       "INSERT OR IGNORE INTO code_edges (from_symbol, to_symbol, edge_type, file_id)\n"
       "VALUES (?, ?, ?, ?)",
       {text("a.ts"), text("go"), text("calls"), text("f")},
       {text("a.ts"), text("go"), text("calls"), text("f")},
       "SELECT COUNT(*) FROM code_edges",
       1},
      {"two symbols of one name",
       "INSERT INTO code_symbols (file_id, name, kind, line_start, line_end, signature)\n"
       "VALUES (?, ?, ?, ?, ?, ?)",
       {text("f"), text("run"), text("function"), std::int64_t{1}, std::int64_t{2}, Null{}},
       {text("f"), text("run"), text("function"), std::int64_t{3}, std::int64_t{4}, Null{}},
       "SELECT COUNT(*) FROM code_symbols",
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto fresh = Connection::openInMemory();
    createSchema(fresh);
    fresh.run(c.statement, c.first);
    fresh.run(c.statement, c.second);
    EXPECT_EQ(count(fresh, c.countQuery), c.rows);
  }
}

constexpr std::string_view kInsertSessionContext =
    "INSERT INTO session_context (id, session_id, project_id, surface, context_type, content, "
    "created_at) VALUES (?, ?, ?, ?, ?, ?, ?)";

// The counts of a project's live memories (status line, session start, sibling projects) are
// answered from the live-memory index, and give what reading every row gives, on rows whose
// project and deletion mark take every form a hand-edited database can give them.
TEST_F(SchemaTest, LiveMemoryCountsByProjectComeFromTheIndexAndMatchAScan) {
  struct Stored {
    const char* id;
    Value project;
    Value deletedAt;
    const char* tier;
  };
  const Stored rows[] = {
      {"a", text("/p"), Null{}, "episodic"},
      {"b", text("/p"), Null{}, "cold"},
      {"c", text("/p"), text("2026-01-01T00:00:00.000+0000"), "semantic"},
      {"d", text("/p"), text(""), "episodic"},  // an empty mark still marks it deleted
      {"e", text("/p/"), Null{}, "episodic"},
      {"f", text("/P"), Null{}, "episodic"},
      {"g", Null{}, Null{}, "episodic"},
      {"h", std::int64_t{7}, Null{}, "episodic"},
      {"i", text("7"), Null{}, "episodic"},
      {"j", text("/q"), std::int64_t{0}, "episodic"},
      {"k", text("/q"), Null{}, "procedural"},
  };
  for (const auto& r : rows) {
    db().run("INSERT INTO memories (id, tier, body, project, deleted_at) VALUES (?, ?, 'b', ?, ?)",
             {text(r.id), text(r.tier), r.project, r.deletedAt});
  }
  constexpr std::string_view kCount =
      "SELECT COUNT(*) FROM memories WHERE project = ? AND deleted_at IS NULL";
  constexpr std::string_view kScan =
      "SELECT COUNT(*) FROM memories NOT INDEXED WHERE project = ? AND deleted_at IS NULL";
  const Value projects[] = {text("/p"),      text("/p/"), text("/P"),   text("7"),
                            std::int64_t{7}, text("/q"),  text("/none")};
  for (const auto& project : projects) {
    SCOPED_TRACE(textOf(project) ? *textOf(project) : "integer");
    EXPECT_EQ(count(db(), kCount, {project}), count(db(), kScan, {project}));
  }
  EXPECT_EQ(count(db(), kCount, {text("/p")}), 2);
  std::string plan;
  for (const auto& row :
       db().query(std::string("EXPLAIN QUERY PLAN ") + std::string(kCount), {text("/p")})) {
    plan += *textOf(row[3]) + "\n";
  }
  EXPECT_NE(plan.find("COVERING INDEX idx_memories_project_deleted"), std::string::npos) << plan;
}

TEST_F(SchemaTest, SessionContextRefersToSessionsAndProjects) {
  db().run("INSERT INTO projects (id, name, path, created_at) VALUES ('P', 'app', '/app', 't')");
  db().run("INSERT INTO session_stats (id, project_id, session_date) VALUES ('S', 'P', 'd')");
  struct Case {
    std::string name;
    Value session, project;
    std::string kind;
    bool accepted;
  };
  const Case cases[] = {
      {"both rows exist", text("S"), text("P"), "decision", true},
      {"no session", Null{}, text("P"), "handoff", true},
      {"unknown session", text("nope"), text("P"), "state", false},
      {"unknown project", Null{}, text("nope"), "state", false},
      {"kind outside the four", Null{}, text("P"), "summary", false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto insert = [&] {
      db().run(kInsertSessionContext,
               {text("C" + std::to_string(n++)), c.session, c.project, text("claude_code"),
                text(c.kind), text("note"), text("2026-01-15T14:03:07.250+0000")});
    };
    if (c.accepted) {
      EXPECT_NO_THROW(insert());
    } else {
      EXPECT_THROW(insert(), Error);
    }
  }
  // Deleting the project takes its notes with it; deleting the session keeps them.
  db().run("DELETE FROM session_stats WHERE id = 'S'");
  EXPECT_EQ(count(db(), "SELECT COUNT(*) FROM session_context WHERE session_id IS NULL"), 2);
  db().run("DELETE FROM projects WHERE id = 'P'");
  EXPECT_EQ(count(db(), "SELECT COUNT(*) FROM session_context"), 0);
}

// The server's own start-up statements must succeed on this schema, once.
TEST_F(SchemaTest, LeavesSurfaceToTheServer) {
  for (const std::string table : {"corrections", "standing_instructions"}) {
    SCOPED_TRACE(table);
    auto columns = columnNames(db(), table);
    EXPECT_EQ(std::count(columns.begin(), columns.end(), "surface"), 0);
    const std::string alter =
        "ALTER TABLE " + table + " ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code';";
    EXPECT_NO_THROW(db().exec(alter));
    EXPECT_THROW(db().exec(alter), Error);
  }
  db().exec(
      "CREATE TABLE IF NOT EXISTS session_context ( id TEXT PRIMARY KEY, session_id TEXT, "
      "project_id TEXT NOT NULL, surface TEXT NOT NULL, context_type TEXT NOT NULL "
      "CHECK(context_type IN ('decision', 'state', 'key_point', 'handoff')), content TEXT NOT "
      "NULL, created_at TEXT NOT NULL, FOREIGN KEY(session_id) REFERENCES session_stats(id) ON "
      "DELETE SET NULL, FOREIGN KEY(project_id) REFERENCES projects(id) ON DELETE CASCADE );");
  db().run(
      "INSERT INTO corrections (id, project_id, content, source, status, surface, rationale, "
      "created_at) VALUES (?, ?, ?, ?, 'pending', ?, ?, ?)",
      {text("C"), text("P"), text("use tabs"), text("manual"), text("cowork"), Null{}, text("t")});
  db().run(
      "INSERT INTO standing_instructions (id, content, scope_type, source, surface, active, "
      "created_at) VALUES (?, ?, 'global', 'session_log', ?, 1, ?)",
      {text("I"), text("be brief"), text("claude_code"), text("t")});
  EXPECT_EQ(count(db(),
                  "SELECT COUNT(*) FROM standing_instructions WHERE active = 1 AND "
                  "scope_type = 'global'"),
            1);
}

TEST_F(SchemaTest, DatabaseAssignedIdentifiersReadBackAsIntegers) {
  db().run(
      "INSERT INTO audit_log (timestamp, session_id, tool_name, result_summary, impact_scope, "
      "created_at) VALUES (?, NULL, 'active_cap_demotion', ?, 'global', ?)",
      {text("t"), text("summary"), text("t")});
  auto audit = db().query(
      "SELECT id, timestamp, session_id, tool_name, parameters_json, result_summary, "
      "impact_scope, created_at FROM audit_log ORDER BY timestamp DESC LIMIT ?",
      {std::int64_t{20}});
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_TRUE(integerOf(audit[0][0]));
  EXPECT_TRUE(isNull(audit[0][4]));  // the demotion pass leaves the parameters to the default

  db().run(
      "INSERT INTO code_symbols (file_id, name, kind, line_start, line_end, signature) "
      "VALUES ('f', 'T', 'class', 1, 9, NULL)");
  db().run(
      "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
      "VALUES ('T', 'run', 'contains', 'f')");
  for (const char* table : {"code_symbols", "code_edges", "build_failures", "test_failures"}) {
    SCOPED_TRACE(table);
    if (std::string(table) == "build_failures") {
      db().run(
          "INSERT INTO build_failures\n    (project, timestamp, trigger_file, error_file, "
          "error_line,\n     error_message, error_type, resolved, session_id)\nVALUES (?, ?, ?, "
          "?, ?, ?, ?, 0, ?)",
          {text("/p"), text("t"), Null{}, text("a.swift"), std::int64_t{3}, text("m"),
           text("compile"), Null{}});
    } else if (std::string(table) == "test_failures") {
      db().run(
          "INSERT INTO test_failures\n    (project, timestamp, test_name, test_file, "
          "trigger_file,\n     error_message, framework, resolved, session_id)\nVALUES (?, ?, ?, "
          "?, ?, ?, ?, 0, ?)",
          {text("/p"), text("t"), text("testA"), Null{}, Null{}, Null{}, text("jest"), Null{}});
    }
    auto id = db().scalar("SELECT id FROM " + std::string(table) + " LIMIT 1");
    ASSERT_TRUE(id);
    EXPECT_TRUE(integerOf(*id));
  }
}

TEST_F(SchemaTest, PromotedTaskReadsBackWithTheTableDefaults) {
  db().run(
      "INSERT INTO tasks (id, skill_id, name, display_name, description, script_content, "
      "project, promoted_at, active) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1)",
      {text("T"), text("S"), text("n"), text("N"), text("d"), text("run it"), Null{},
       text("2026-01-15T14:03:07.250+0000")});
  auto rows = db().query(
      "SELECT last_run, run_count, success_rate, active FROM tasks WHERE skill_id = ? AND "
      "active = 1 LIMIT 1",
      {text("S")});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(isNull(rows[0][0]));
  EXPECT_EQ(integerOf(rows[0][1]), 0);
  EXPECT_EQ(realOf(rows[0][2]), 1.0);
  EXPECT_EQ(integerOf(rows[0][3]), 1);
}

// The lookups on hot paths must be answered from an index, not by scanning the table.
TEST_F(SchemaTest, HotLookupsUseIndexes) {
  const std::string queries[] = {
      "SELECT id FROM memories WHERE project = ? AND tier != 'cold' AND deleted_at IS NULL "
      "ORDER BY last_accessed DESC LIMIT ?",
      "SELECT id, body FROM memories WHERE id != ? AND tier != 'cold' ORDER BY created_at DESC "
      "LIMIT 500",
      "SELECT id FROM memories WHERE tier = 'semantic'",
      "SELECT id FROM memories WHERE id = ? AND deleted_at IS NULL LIMIT 1",
      "SELECT COUNT(*) FROM memory_links WHERE src_id = ?",
      "SELECT COUNT(*) FROM memory_links WHERE dst_id = ?",
      "SELECT COUNT(*) FROM memory_links WHERE src_id = ? OR dst_id = ?",
      "SELECT src_id, dst_id, weight FROM memory_links WHERE src_id IN (?, ?) "
      "AND link_type IN (?, ?) UNION ALL SELECT src_id, dst_id, weight FROM memory_links "
      "WHERE dst_id IN (?, ?) AND link_type IN (?, ?)",
      "SELECT dst_id FROM memory_links WHERE src_id = ? AND link_type IN ('has_child', "
      "'contains', 'consolidates')",
      "SELECT 1 FROM memory_links WHERE dst_id = ? AND link_type = 'entity' LIMIT 40",
      "SELECT id FROM code_files WHERE project = ? AND relative_path = ?",
      "SELECT id FROM code_symbols WHERE file_id = ?",
      "SELECT id FROM code_symbols WHERE name = ?",
      "SELECT id FROM code_edges WHERE file_id = ?",
      "SELECT id FROM code_edges WHERE to_symbol = ?",
      "SELECT file_a, count FROM co_changes WHERE project = ?",
      "SELECT COUNT(*) FROM build_failures WHERE project = ? AND trigger_file = ?",
      "SELECT COUNT(*) FROM test_failures WHERE project = ? AND trigger_file = ?",
      "SELECT id FROM projects WHERE path = ? LIMIT 1",
      "SELECT memory_id FROM mem_scene_members WHERE memory_id IN (?, ?)",
      "SELECT memory_id, role FROM mem_scene_members WHERE scene_id = ? ORDER BY rowid ASC",
  };
  // Both layouts of the link table: a database made earlier may keep its rowid table.
  for (const bool rowidLinks : {false, true}) {
    if (rowidLinks) useRowidLinkTable(db());
    for (const auto& query : queries) {
      SCOPED_TRACE(std::string(rowidLinks ? "rowid links: " : "") + query);
      std::string plan;
      bool fullScanOrSort = false;
      for (const auto& row : db().query("EXPLAIN QUERY PLAN " + query)) {
        const std::string step = *textOf(row.back());
        plan += step + "\n";
        // A scan in an index's order is fine; a scan of the table or a sort of its rows is not.
        if ((step.find("SCAN") != std::string::npos && step.find("USING") == std::string::npos) ||
            step.find("TEMP B-TREE") != std::string::npos) {
          fullScanOrSort = true;
        }
      }
      EXPECT_NE(plan.find("USING"), std::string::npos) << plan;
      EXPECT_FALSE(fullScanOrSort) << plan;
    }
  }
}

}  // namespace
}  // namespace nodrel::db
