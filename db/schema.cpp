#include "db/schema.h"

#include "db/savepoint.h"

namespace nodrel::db {
namespace {

// Columns are nullable and mostly without checks: rows may come from outside the programs, and
// every reader tolerates NULL or oddly typed values. Only keys that statements rely on are firm.
constexpr std::string_view kCreateSchema = R"sql(
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
CREATE INDEX IF NOT EXISTS idx_memories_created_at ON memories(created_at);
CREATE INDEX IF NOT EXISTS idx_memories_tier ON memories(tier);

CREATE VIRTUAL TABLE IF NOT EXISTS memories_fts USING fts5(body, tags);

-- One link per (source, target, type): linking a memory again adds nothing, while one pair may
-- be linked both semantically and by entity. No foreign keys: code-file targets are "code:…".
CREATE TABLE IF NOT EXISTS memory_links (
  src_id TEXT,
  dst_id TEXT,
  link_type TEXT,
  weight REAL,
  created_at TEXT,
  UNIQUE(src_id, dst_id, link_type)
);
CREATE INDEX IF NOT EXISTS idx_memory_links_dst ON memory_links(dst_id);

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
)sql";

}  // namespace

void createSchema(Connection& connection) {
  Savepoint savepoint(connection, "nodrel_schema");
  connection.exec(kCreateSchema);
  savepoint.commit();
}

const std::vector<std::string>& schemaTableNames() {
  static const std::vector<std::string> names = {
      "memories",       "memories_fts",   "memory_links", "memory_vectors",   "memory_history",
      "ml_signals",     "audit_log",      "mem_scenes",   "mem_scene_members",
  };
  return names;
}

}  // namespace nodrel::db
