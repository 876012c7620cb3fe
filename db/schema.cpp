#include "db/schema.h"

#include <exception>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "db/error.h"
#include "db/project_keys.h"
#include "db/savepoint.h"

namespace nodrel::db {
namespace {

// The link table as new databases make it and as the rebuild of an earlier one makes it.
constexpr std::string_view kLinkTable = R"sql(memory_links (
  src_id TEXT NOT NULL,
  dst_id TEXT NOT NULL,
  link_type TEXT NOT NULL,
  weight REAL,
  created_at TEXT,
  PRIMARY KEY (src_id, dst_id, link_type)
) WITHOUT ROWID)sql";

// The server makes this table at every start in this one text, which is also the schema's.
constexpr std::string_view kCreateSessionContext =
    "CREATE TABLE IF NOT EXISTS session_context ( id TEXT PRIMARY KEY, session_id TEXT, "
    "project_id TEXT NOT NULL, surface TEXT NOT NULL, context_type TEXT NOT NULL "
    "CHECK(context_type IN ('decision', 'state', 'key_point', 'handoff')), content TEXT NOT "
    "NULL, created_at TEXT NOT NULL, FOREIGN KEY(session_id) REFERENCES session_stats(id) ON "
    "DELETE SET NULL, FOREIGN KEY(project_id) REFERENCES projects(id) ON DELETE CASCADE );";
constexpr std::string_view kAddCorrectionsSurface =
    "ALTER TABLE corrections ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code';";
constexpr std::string_view kAddInstructionsSurface =
    "ALTER TABLE standing_instructions ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code';";

// Columns are nullable and mostly without checks: rows may come from outside the programs, and
// every reader tolerates NULL or oddly typed values. Only keys that statements rely on are firm.
// One script, in parts around the link table's and session_context's definitions.
constexpr std::string_view kCreateSchema[] = {R"sql(
-- `id` is the content hash and names one memory; it is not an INTEGER PRIMARY KEY, so the
-- table keeps its own rowid, under which memories_fts stores the row's full-text entry.
CREATE TABLE IF NOT EXISTS memories (
  id TEXT PRIMARY KEY NOT NULL,
  tier TEXT DEFAULT 'episodic',
  body TEXT,
  body_tokens INTEGER DEFAULT 0,
  project TEXT,
  context_path TEXT,
  type TEXT DEFAULT 'observation',
  tags TEXT,
  created_at TEXT,
  last_accessed TEXT,
  access_count INTEGER DEFAULT 1,
  strength REAL DEFAULT 1.0,
  importance INTEGER DEFAULT 5,
  pinned INTEGER DEFAULT 0,
  evidence_count INTEGER DEFAULT 1,
  parent_id TEXT,
  source_session TEXT,
  predicted_future_use REAL DEFAULT 0.5,
  condition_type TEXT,
  condition_value TEXT,
  surface_condition TEXT,
  trigger_keywords TEXT,
  depth INTEGER DEFAULT 0,
  is_top_level INTEGER DEFAULT 0,
  deleted_at TEXT,
  active_rule_ids TEXT
);
CREATE INDEX IF NOT EXISTS idx_memories_project_last_accessed
  ON memories(project, last_accessed);
-- A project's live memories, counted by the status line on every prompt and by each session
-- start: answered from this index alone, where the one above leaves every row of the project to
-- be read for its deletion mark.
CREATE INDEX IF NOT EXISTS idx_memories_project_deleted ON memories(project, deleted_at);
-- Its first form also held last_accessed, which made the counts read twice the pages.
DROP INDEX IF EXISTS idx_memories_live_project;
CREATE INDEX IF NOT EXISTS idx_memories_created_at ON memories(created_at);
-- By tier, and covering the capacity check's usage sums so a write does not scan every memory.
CREATE INDEX IF NOT EXISTS idx_memories_tier_usage ON memories(tier, deleted_at, body_tokens);

CREATE VIRTUAL TABLE IF NOT EXISTS memories_fts USING fts5(body, tags);

-- One link per (source, target, type): linking a memory again adds nothing, while one pair may
-- be linked both semantically and by entity. No foreign keys: code-file targets are "code:…".
-- Links are the bulk of a store, so the table is stored in its key's order without a rowid: a
-- rowid table keeps the key a second time in its own index. A database made with the rowid
-- table keeps it (see kRebuildLinkTable): every statement reads and writes both alike.
CREATE TABLE IF NOT EXISTS )sql",
                                              kLinkTable, R"sql(;
-- Lookups by source (graph traversal, node expansion, link counts) go through the key, whose
-- first column is src_id. Lookups by target (graph traversal's other direction, link
-- counts, the bound on a memory's incoming links) read this index alone: it holds all four
-- columns they read. An index that only repeated the key by source cost a quarter of the
-- table's size and an update on every link written.
CREATE INDEX IF NOT EXISTS idx_memory_links_dst_walk
  ON memory_links(dst_id, link_type, src_id, weight);
DROP INDEX IF EXISTS idx_memory_links_src_walk;
-- The walk index answers every lookup by target that the one-column index did; every link
-- written would otherwise update both.
DROP INDEX IF EXISTS idx_memory_links_dst;

-- One vector per memory, replaced on every store. No foreign key: a vector may outlive its row.
CREATE TABLE IF NOT EXISTS memory_vectors (
  memory_id TEXT PRIMARY KEY NOT NULL,
  embedding BLOB,
  model TEXT,
  created_at TEXT
);

CREATE TABLE IF NOT EXISTS memory_history (
  memory_id TEXT,
  from_tier TEXT,
  to_tier TEXT,
  reason TEXT,
  moved_at TEXT
);
CREATE INDEX IF NOT EXISTS idx_memory_history_memory ON memory_history(memory_id);

CREATE TABLE IF NOT EXISTS ml_signals (
  memory_id TEXT,
  signal_type TEXT,
  timestamp TEXT,
  payload_json TEXT
);

CREATE TABLE IF NOT EXISTS audit_log (
  id INTEGER PRIMARY KEY,
  timestamp TEXT,
  session_id TEXT,
  tool_name TEXT,
  parameters_json TEXT,
  result_summary TEXT,
  impact_scope TEXT,
  created_at TEXT
);
CREATE INDEX IF NOT EXISTS idx_audit_log_timestamp ON audit_log(timestamp);
CREATE INDEX IF NOT EXISTS idx_audit_log_session ON audit_log(session_id, timestamp);

-- Filled outside the programs; summary and tier may be NULL (such scenes are skipped).
CREATE TABLE IF NOT EXISTS mem_scenes (
  id TEXT PRIMARY KEY NOT NULL,
  summary TEXT,
  project TEXT,
  tier TEXT,
  created_at TEXT
);
-- Members keep insertion order by rowid; a scene may list one memory twice, so no unique key.
CREATE TABLE IF NOT EXISTS mem_scene_members (
  scene_id TEXT,
  memory_id TEXT,
  role TEXT
);
CREATE INDEX IF NOT EXISTS idx_mem_scene_members_memory ON mem_scene_members(memory_id);
CREATE INDEX IF NOT EXISTS idx_mem_scene_members_scene ON mem_scene_members(scene_id);

-- Project lookups are by path; registering a path twice must keep the first row.
CREATE TABLE IF NOT EXISTS projects (
  id TEXT PRIMARY KEY NOT NULL,
  name TEXT,
  path TEXT UNIQUE,
  context_summary TEXT,
  created_at TEXT,
  last_active_at TEXT
);

-- Made without `surface`: the server adds that column itself at start-up, and its ALTER would
-- fail on a table that already had it.
CREATE TABLE IF NOT EXISTS corrections (
  id TEXT PRIMARY KEY NOT NULL,
  project_id TEXT,
  content TEXT,
  source TEXT,
  status TEXT,
  rationale TEXT,
  created_at TEXT
);
CREATE INDEX IF NOT EXISTS idx_corrections_project ON corrections(project_id, created_at);

-- Made without `surface`, like corrections.
CREATE TABLE IF NOT EXISTS standing_instructions (
  id TEXT PRIMARY KEY NOT NULL,
  content TEXT,
  scope_type TEXT,
  project_id TEXT,
  source TEXT,
  active INTEGER DEFAULT 1,
  created_at TEXT
);
CREATE INDEX IF NOT EXISTS idx_standing_instructions_project
  ON standing_instructions(project_id);

-- Filled outside the programs. session_context refers to it, so it needs its key.
CREATE TABLE IF NOT EXISTS session_stats (
  id TEXT PRIMARY KEY NOT NULL,
  project_id TEXT,
  session_date TEXT,
  tool_calls TEXT,
  correction_count INTEGER DEFAULT 0
);
CREATE INDEX IF NOT EXISTS idx_session_stats_project ON session_stats(project_id, session_date);

-- Exactly as the server creates it at start-up, so that both agree whoever comes first.
)sql",
                                              kCreateSessionContext, R"sql(

-- Filled outside the programs; `trigger_keywords` holds a JSON array of texts.
CREATE TABLE IF NOT EXISTS skills (
  id TEXT PRIMARY KEY NOT NULL,
  name TEXT,
  display_name TEXT,
  description TEXT,
  content TEXT,
  trigger_keywords TEXT,
  scope TEXT,
  confidence REAL DEFAULT 0.0,
  use_count INTEGER DEFAULT 0,
  learned_from TEXT,
  applies_to TEXT
);

-- A promoted task reads back as never run, run 0 times, with a success rate of 1.0.
CREATE TABLE IF NOT EXISTS tasks (
  id TEXT PRIMARY KEY NOT NULL,
  skill_id TEXT,
  name TEXT,
  display_name TEXT,
  description TEXT,
  script_content TEXT,
  project TEXT,
  promoted_at TEXT,
  last_run TEXT,
  run_count INTEGER DEFAULT 0,
  success_rate REAL DEFAULT 1.0,
  active INTEGER DEFAULT 1
);
CREATE INDEX IF NOT EXISTS idx_tasks_skill ON tasks(skill_id, active);

-- Filled outside the programs.
CREATE TABLE IF NOT EXISTS memory_index (
  memory_id TEXT PRIMARY KEY NOT NULL,
  depth INTEGER DEFAULT 0,
  traversal_cost_tokens INTEGER DEFAULT 0,
  is_top_level INTEGER DEFAULT 0
);

-- `id` is the digest of project path and relative path, the target of ingestion's upsert.
CREATE TABLE IF NOT EXISTS code_files (
  id TEXT PRIMARY KEY NOT NULL,
  project TEXT,
  relative_path TEXT,
  language TEXT,
  content_hash TEXT,
  last_parsed TEXT,
  fragility_score REAL
);
-- The id rides along so that reading a project's files, for ingestion and for the context's
-- code summary, needs no table lookup per file; rows still come in path order. The
-- narrower index of stores made before it is dropped here, as are those of the symbols and
-- edges below.
DROP INDEX IF EXISTS idx_code_files_project_path;
CREATE INDEX IF NOT EXISTS idx_code_files_project_path_id
  ON code_files(project, relative_path, id);
CREATE INDEX IF NOT EXISTS idx_code_files_project_parsed ON code_files(project, last_parsed);
-- The most fragile files of a project are asked for on every impact and context call.
CREATE INDEX IF NOT EXISTS idx_code_files_project_fragility
  ON code_files(project, fragility_score DESC);

-- No unique key: a file may declare one name twice (overloads, extensions).
CREATE TABLE IF NOT EXISTS code_symbols (
  id INTEGER PRIMARY KEY,
  file_id TEXT,
  name TEXT,
  kind TEXT,
  line_start INTEGER,
  line_end INTEGER,
  signature TEXT
);
-- Symbols and edges are read by file and joined by name: each index also holds the column the
-- other lookup needs, so those reads touch no table rows. The rowid (id) comes before it to
-- keep the rows of one file, or of one name, in the order they were written.
DROP INDEX IF EXISTS idx_code_symbols_file;
CREATE INDEX IF NOT EXISTS idx_code_symbols_file_name ON code_symbols(file_id, id, name);
DROP INDEX IF EXISTS idx_code_symbols_name;
CREATE INDEX IF NOT EXISTS idx_code_symbols_name_file ON code_symbols(name, id, file_id);

-- Plain inserts may repeat an edge (one import written twice, two overloads in one type), so
-- only the kinds written with INSERT OR IGNORE are unique, which keeps the references that
-- every run writes again from piling up.
CREATE TABLE IF NOT EXISTS code_edges (
  id INTEGER PRIMARY KEY,
  from_symbol TEXT,
  to_symbol TEXT,
  edge_type TEXT,
  file_id TEXT
);
-- Covering the target, as the symbols' indexes cover the name. Readers that want the edges in
-- table order say NOT INDEXED, or SQLite would scan this index instead.
DROP INDEX IF EXISTS idx_code_edges_file;
CREATE INDEX IF NOT EXISTS idx_code_edges_file_target ON code_edges(file_id, id, to_symbol);
CREATE INDEX IF NOT EXISTS idx_code_edges_to_symbol ON code_edges(to_symbol);
CREATE UNIQUE INDEX IF NOT EXISTS idx_code_edges_unique_links
  ON code_edges(file_id, from_symbol, to_symbol, edge_type)
  WHERE edge_type IN ('calls', 'references');

-- Raised by every transaction that writes a project's files, symbols or edges: figures and
-- graphs computed from those rows and kept elsewhere hold while the number they were computed
-- at is still the project's.
CREATE TABLE IF NOT EXISTS code_generations (
  project TEXT PRIMARY KEY NOT NULL,
  generation INTEGER NOT NULL DEFAULT 0
);

-- A project's code index in figures, as ingestion computed them at `generation`, with what the
-- run needs to know of its last one: the references its imports gave, and a digest of the
-- inputs of its fragility scores. Trusted only while `generation` is the project's.
CREATE TABLE IF NOT EXISTS code_summaries (
  project TEXT PRIMARY KEY NOT NULL,
  generation INTEGER,
  total_files INTEGER,
  total_symbols INTEGER,
  total_edges INTEGER,
  top_connected_files TEXT,
  last_ingestion TEXT,
  reference_attempts INTEGER,
  fragility_inputs TEXT
);

-- What a file looked like (size, times, inode) when its content had `content_hash`: a later run
-- passes over a file whose stamp and hash still agree without reading it.
CREATE TABLE IF NOT EXISTS code_file_stamps (
  file_id TEXT PRIMARY KEY NOT NULL,
  size INTEGER,
  modified_ns INTEGER,
  changed_ns INTEGER,
  inode INTEGER,
  content_hash TEXT
) WITHOUT ROWID;

-- Ingestion links memories to the files their context paths name: it looks the paths up by
-- each trailing part of a file's path, ignoring ASCII case as LIKE does, so its cost follows
-- the files, not the memories. Only memories with a context path are in it.
CREATE INDEX IF NOT EXISTS idx_memories_context_path
  ON memories(context_path COLLATE NOCASE)
  WHERE context_path IS NOT NULL AND context_path != '';

-- One row per pair of one project: the key is the target of the co-change upsert.
CREATE TABLE IF NOT EXISTS co_changes (
  project TEXT,
  file_a TEXT,
  file_b TEXT,
  count INTEGER DEFAULT 1,
  last_seen TEXT,
  UNIQUE(project, file_a, file_b)
);
CREATE INDEX IF NOT EXISTS idx_co_changes_project_file_b ON co_changes(project, file_b);

CREATE TABLE IF NOT EXISTS build_failures (
  id INTEGER PRIMARY KEY,
  project TEXT,
  timestamp TEXT,
  trigger_file TEXT,
  error_file TEXT,
  error_line INTEGER,
  error_message TEXT,
  error_type TEXT,
  resolved INTEGER DEFAULT 0,
  session_id TEXT
);
CREATE INDEX IF NOT EXISTS idx_build_failures_project_trigger
  ON build_failures(project, trigger_file);
CREATE INDEX IF NOT EXISTS idx_build_failures_project_time ON build_failures(project, timestamp);

CREATE TABLE IF NOT EXISTS test_failures (
  id INTEGER PRIMARY KEY,
  project TEXT,
  timestamp TEXT,
  test_name TEXT,
  test_file TEXT,
  trigger_file TEXT,
  error_message TEXT,
  framework TEXT,
  resolved INTEGER DEFAULT 0,
  session_id TEXT
);
CREATE INDEX IF NOT EXISTS idx_test_failures_project_trigger
  ON test_failures(project, trigger_file);

-- One row per consumed marker; ids are fresh UUIDs, so two markers never collide.
CREATE TABLE IF NOT EXISTS checkpoints (
  id TEXT PRIMARY KEY NOT NULL,
  session_id TEXT,
  project_path TEXT,
  marker_created_at TEXT,
  consumed_at TEXT,
  note TEXT
);

-- One row per session: capture replaces it and tests it to skip a session captured before.
CREATE TABLE IF NOT EXISTS captured_sessions (
  session_id TEXT PRIMARY KEY NOT NULL,
  captured_at TEXT,
  memory_count INTEGER DEFAULT 0,
  extractor TEXT
);
)sql"};

// Every hook that writes runs this first. A filter on the type in SQL costs SQLite a temporary
// index for the IN list, several times the cost of the plain scan of a few dozen rows.
constexpr std::string_view kSelectSchemaNames = "SELECT type, name FROM sqlite_master";

// Indexes createSchema drops, so a database that still has one is completed at open.
constexpr std::string_view kRetiredIndexes[] = {"idx_memory_links_src_walk",
                                                "idx_memory_links_dst"};

// A link table made by an earlier version has a rowid and a unique index beside it. It is
// rebuilt without the rowid only while it is small: the rebuild holds the write lock, and a hook
// killed by its host's timeout halfway would roll it back for the next one to pay again. A larger
// table stays as it is; the statements need nothing of the new layout. The largest rowid bounds
// the count without reading the table; only a table with a rowid has one to ask for, so the
// query does not prepare on the current table (nor on a view in its place), which answers the
// common case without the schema of every table that pragma_table_list would read.
constexpr std::int64_t kRebuildLinkTableUpTo = 5000;
constexpr std::string_view kSelectLargestLinkRowid = "SELECT max(rowid) FROM memory_links";
// Links move in the order they were written. A row missing an end or a type is no link any
// statement reads, and the key cannot hold it. One script, in parts as kCreateSchema.
constexpr std::string_view kRebuildLinkTable[] = {R"sql(
ALTER TABLE memory_links RENAME TO memory_links_rowid;
DROP INDEX IF EXISTS idx_memory_links_dst_walk;
CREATE TABLE )sql",
                                                  kLinkTable, R"sql(;
INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
  SELECT src_id, dst_id, link_type, weight, created_at FROM memory_links_rowid
  WHERE src_id IS NOT NULL AND dst_id IS NOT NULL AND link_type IS NOT NULL
  ORDER BY rowid;
DROP TABLE memory_links_rowid;
CREATE INDEX idx_memory_links_dst_walk ON memory_links(dst_id, link_type, src_id, weight);
)sql"};

std::string joined(std::span<const std::string_view> parts) {
  std::string script;
  for (std::string_view part : parts) script += part;
  return script;
}

bool linkTableToRebuild(Connection& connection) {
  std::optional<Statement> largest;
  try {
    largest.emplace(connection.prepare(kSelectLargestLinkRowid));
  } catch (const Error&) {
    return false;  // no rowid: the table is already in its current layout, or missing
  }
  return !largest->step() || largest->columnInteger(0).value_or(0) <= kRebuildLinkTableUpTo;
}

}  // namespace

void createSchema(Connection& connection) {
  Savepoint savepoint(connection, "nodrel_schema");
  connection.exec(joined(kCreateSchema));
  if (linkTableToRebuild(connection)) connection.exec(joined(kRebuildLinkTable));
  migrateProjectKeys(connection);
  savepoint.commit();
}

void ensureSchema(Connection& connection) {
  // A view of a table's name stands in its place: createSchema would leave it as it is.
  std::set<std::string> present;
  {
    Statement names = connection.prepare(kSelectSchemaNames);
    while (names.step()) {
      const std::optional<std::string_view> type = names.columnText(0);
      const std::optional<std::string_view> name = names.columnText(1);
      if (type && name && (*type == "table" || *type == "view" || *type == "index")) {
        present.emplace(*name);
      }
    }
  }
  bool complete = true;
  for (const std::string& name : schemaTableNames()) complete = complete && present.contains(name);
  // A database made by an earlier version may still carry an index the statements no longer
  // use; dropping it is part of completing the schema.
  for (std::string_view name : kRetiredIndexes) {
    complete = complete && !present.contains(std::string(name));
  }
  if (complete && !linkTableToRebuild(connection) && !projectKeysNeedMigration(connection)) {
    return;
  }
  Savepoint transaction(connection, "nodrel_schema");
  // createSchema migrates the keys too; a second writer that got here first leaves neither to do.
  createSchema(connection);
  transaction.commit();
}

void createSessionContextTable(Connection& connection) { connection.exec(kCreateSessionContext); }

void addSurfaceColumns(Connection& connection) {
  // Every start after the first finds the columns there already.
  for (auto statement : {kAddCorrectionsSurface, kAddInstructionsSurface}) {
    try {
      connection.exec(statement);
    } catch (const std::exception&) {
    }
  }
}

const std::vector<std::string>& schemaTableNames() {
  static const std::vector<std::string> names = {
      "memories",         "memories_fts",   "memory_links",     "memory_vectors",
      "memory_index",     "memory_history", "mem_scenes",       "mem_scene_members",
      "ml_signals",       "projects",       "corrections",      "standing_instructions",
      "session_context",  "session_stats",  "skills",           "tasks",
      "audit_log",        "code_files",     "code_symbols",     "code_edges",
      "code_generations", "code_summaries", "code_file_stamps", "co_changes",
      "build_failures",   "test_failures",  "checkpoints",      "captured_sessions",
  };
  return names;
}

}  // namespace nodrel::db
