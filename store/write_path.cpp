#include "store/write_path.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "db/error.h"
#include "db/savepoint.h"
#include "db/statement.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/time.h"
#include "store/capacity.h"
#include "store/memory_links.h"
#include "store/pending_write_queue.h"
#include "store/vector_store.h"

namespace nodrel::store {
namespace {

// Writing the body of a soft-deleted memory is a wish to remember it again: the row is revived
// as a fresh memory in place (same rowid), every column as a new insert would set it. A live
// row, stored by the other program since the lookup, is left alone and changes nothing.
constexpr std::string_view kInsertMemory = R"sql(
    INSERT INTO memories (
      id, tier, body, body_tokens, project, context_path, type, tags, created_at, last_accessed,
      access_count, strength, importance, pinned, evidence_count, parent_id, source_session,
      predicted_future_use, condition_type, condition_value, surface_condition,
      trigger_keywords, depth, is_top_level, active_rule_ids)
    VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1, 1.0, ?, 0, 1, NULL, ?, 0.5, ?, ?, ?, ?, ?, ?, ?)
    ON CONFLICT(id) DO UPDATE SET
      tier = excluded.tier, body = excluded.body, body_tokens = excluded.body_tokens,
      project = excluded.project, context_path = excluded.context_path, type = excluded.type,
      tags = excluded.tags, created_at = excluded.created_at,
      last_accessed = excluded.last_accessed, access_count = excluded.access_count,
      strength = excluded.strength, importance = excluded.importance, pinned = excluded.pinned,
      evidence_count = excluded.evidence_count, parent_id = excluded.parent_id,
      source_session = excluded.source_session,
      predicted_future_use = excluded.predicted_future_use,
      condition_type = excluded.condition_type, condition_value = excluded.condition_value,
      surface_condition = excluded.surface_condition,
      trigger_keywords = excluded.trigger_keywords, depth = excluded.depth,
      is_top_level = excluded.is_top_level, active_rule_ids = excluded.active_rule_ids,
      deleted_at = NULL
    WHERE memories.deleted_at IS NOT NULL)sql";

// A revived row may still have the full-text entry of its deleted life.
constexpr std::string_view kDeleteFTS = R"sql(
    DELETE FROM memories_fts WHERE rowid = (SELECT rowid FROM memories WHERE id = ?))sql";

constexpr std::string_view kFetchMemory = R"sql(
    SELECT id, tier, body, body_tokens, project, context_path, type, tags, created_at,
           last_accessed, access_count, strength, importance, pinned, evidence_count, parent_id,
           source_session, predicted_future_use, condition_type, condition_value,
           surface_condition, trigger_keywords, depth, is_top_level
    FROM memories WHERE id = ? AND deleted_at IS NULL LIMIT 1)sql";

// 1 for a live row, 0 for a forgotten one, no row for a body never stored. Most writes store a
// new body: this answers them without preparing the read of every column.
constexpr std::string_view kIsLive = "SELECT deleted_at IS NULL FROM memories WHERE id = ? LIMIT 1";

constexpr std::string_view kReinforceMemory = R"sql(
    UPDATE memories
    SET access_count = access_count + 1, last_accessed = ?, strength = MIN(strength + 0.3, 1.0)
    WHERE id = ?)sql";

constexpr std::string_view kMemoryRowid = "SELECT rowid FROM memories WHERE id = ? LIMIT 1";

constexpr std::string_view kInsertFTS =
    "INSERT INTO memories_fts(rowid, body, tags) VALUES (?, ?, ?)";

constexpr std::string_view kRecentForProject = R"sql(
    SELECT id, tier, body, body_tokens, project, context_path, type, tags, created_at,
           last_accessed, access_count, strength, importance, pinned, evidence_count, parent_id,
           source_session, predicted_future_use, condition_type, condition_value,
           surface_condition, trigger_keywords, depth, is_top_level
    FROM memories
    WHERE project = ? AND tier != 'cold' AND deleted_at IS NULL
    ORDER BY last_accessed DESC
    LIMIT ?)sql";

constexpr std::string_view kRecentAll = R"sql(
    SELECT id, tier, body, body_tokens, project, context_path, type, tags, created_at,
           last_accessed, access_count, strength, importance, pinned, evidence_count, parent_id,
           source_session, predicted_future_use, condition_type, condition_value,
           surface_condition, trigger_keywords, depth, is_top_level
    FROM memories
    WHERE tier != 'cold' AND deleted_at IS NULL
    ORDER BY last_accessed DESC
    LIMIT ?)sql";

constexpr std::int64_t kLowestImportance = 1;
constexpr std::int64_t kHighestImportance = 10;

PendingMemoryWrite pendingFrom(const MemoryWrite& w, platform::Instant queuedAt) {
  return {w.body,       w.tier,        w.project,       w.type,   w.tags,
          w.importance, w.contextPath, w.sourceSession, queuedAt, w.reviveForgotten};
}

MemoryWrite writeFrom(const PendingMemoryWrite& p) {
  return {p.body,       p.tier,        p.project,       p.type,           p.tags,
          p.importance, p.contextPath, p.sourceSession, p.reviveForgotten};
}

void queueRefusedWrite(WriteState& state, const MemoryWrite& write) {
  state.pending.enqueue(pendingFrom(write, platform::now()));
  postBothTiersFullNotification(state.pending, state.notifications);
}

// The memory a write stores, as it was stored at `nowText`.
Memory newMemory(const MemoryWrite& write, const std::string& id, std::int64_t tokens,
                 std::int64_t importance, const std::string& nowText) {
  Memory memory;
  memory.id = id;
  memory.tier = write.tier;
  memory.body = write.body;
  memory.bodyTokens = tokens;
  memory.project = write.project;
  memory.contextPath = write.contextPath;
  memory.type = write.type;
  memory.tags = write.tags;
  const platform::Instant stored =
      platform::sharedTimestampFormatter().parse(nowText).value_or(platform::now());
  memory.createdAt = stored;
  memory.lastAccessed = stored;
  memory.accessCount = 1;
  memory.strength = 1.0;
  memory.importance = importance;
  memory.pinned = false;
  memory.evidenceCount = 1;
  memory.sourceSession = write.sourceSession;
  memory.predictedFutureUse = 0.5;
  memory.depth = 0;
  memory.isTopLevel = false;
  return memory;
}

// Stores one write without flushing the pending queue first, so the flush can call it too.
Memory storeWrite(db::Connection& connection, WriteState& state, const MemoryWrite& write) {
  const std::string id = memoryContentHash(write.body);
  std::optional<db::Value> live = connection.scalar(kIsLive, {db::text(id)});
  std::optional<Memory> existing;
  if (live && db::integerOf(*live) == 1) {
    existing = fetchMemory(id, connection);
    // Forgotten or removed by the other program between the two reads.
    if (!existing) live = connection.scalar(kIsLive, {db::text(id)});
  }
  if (!existing && !write.reviveForgotten && live && db::integerOf(*live) == 0) {
    throw ForgottenMemoryError();
  }
  if (!existing) {
    try {
      enforceCapacity(connection, state.notifications);
    } catch (const WriteBlockedError&) {
      queueRefusedWrite(state, write);
      throw;
    }
  }

  const auto& formatter = platform::sharedTimestampFormatter();
  const platform::Instant writtenAt = platform::now();
  const std::string nowText = formatter.format(writtenAt);
  const std::int64_t tokens = tokenEstimate(write.body);

  if (existing) {
    reinforceMemory(id, connection);
    return *existing;
  }

  const std::int64_t importance =
      std::clamp(write.importance, kLowestImportance, kHighestImportance);
  // One transaction for the row and everything that hangs on it: a process stopped between two
  // commits would leave a memory that no later write completes, since it only reinforces.
  db::Savepoint whole(connection, "nodrel_write_memory_whole");
  {
    // A row without its full-text entry would never be searchable, since a later write of the
    // same body only reinforces it: both are stored, or neither and the caller hears why.
    db::Savepoint savepoint(connection, "nodrel_write_memory");
    const int stored = insertMemoryRow(connection, id, write, tokens, importance, nowText);
    if (stored == 0) {
      // The other program stored the body after our lookup: ours is a second write of it.
      savepoint.commit();
      std::optional<Memory> live = fetchMemory(id, connection);
      // Forgotten by the other program since the lookup: left forgotten.
      if (!live && !write.reviveForgotten) throw ForgottenMemoryError();
      reinforceMemory(id, connection);
      whole.commit();
      if (live) return *live;
      return newMemory(write, id, tokens, importance, nowText);
    }
    connection.run(kDeleteFTS, {db::text(id)});
    syncMemoryFTS(id, write.body, write.tags, connection);
    savepoint.commit();
  }

  try {
    // The vector and the links are best effort; one commit for all their rows instead of one
    // per link keeps a write that links to many memories fast.
    db::Savepoint extras(connection, "nodrel_memory_extras");
    try {
      if (auto vector = embed(write.body)) {
        storeEmbedding(id, *vector, connection);
        if (state.keptVectors != nullptr) state.keptVectors->noteVectorStored();
      }
    } catch (const std::exception&) {
      // Recall does without the vector signal for this memory.
    }
    try {
      createMemoryLinks(id, write.body, connection, state.analyses);
    } catch (const std::exception&) {
      // The memory stands without links; graph expansion simply does not reach it.
    }
    extras.commit();
  } catch (const std::exception&) {
    // The memory itself is stored; only what the failed commit held is missing.
  }
  whole.commit();

  return newMemory(write, id, tokens, importance, nowText);
}

}  // namespace

Memory writeMemory(db::Connection& connection, WriteState& state, const MemoryWrite& write) {
  flushPendingWrites(connection, state);
  return storeWrite(connection, state, write);
}

void flushPendingWrites(db::Connection& connection, WriteState& state) {
  std::vector<PendingMemoryWrite> taken;
  try {
    taken = state.pending.takeAll();
  } catch (const std::exception&) {
    return;
  }
  for (const PendingMemoryWrite& pending : taken) {
    try {
      storeWrite(connection, state, writeFrom(pending));
    } catch (const WriteBlockedError&) {
      // Already queued again, stamped with this attempt, and announced.
    } catch (const db::Error& error) {
      // The other program holding the database is no reason to lose the write.
      if (error.isBusyOrLocked()) {
        try {
          state.pending.enqueue(pending);
        } catch (const std::exception&) {
        }
      }
    } catch (const std::exception&) {
      // Dropped: the write cannot be stored as it stands.
    }
  }
}

std::string memoryContentHash(std::string_view body) {
  return platform::digestHexString(platform::sha256Digest(body));
}

std::int64_t tokenEstimate(std::string_view body) {
  const auto n = static_cast<std::int64_t>(platform::graphemeCount(body));
  return n > 3 ? n / 4 : 1;
}

std::optional<Memory> fetchMemory(const std::string& id, db::Connection& connection) {
  db::Statement statement = connection.prepare(kFetchMemory);
  statement.bindText(1, id);
  if (!statement.step()) return std::nullopt;
  return memoryFromRow(statement.row());
}

int insertMemoryRow(db::Connection& connection, const std::string& id, const MemoryWrite& write,
                    std::int64_t tokens, std::int64_t importance, const std::string& nowText) {
  return connection.run(
      kInsertMemory,
      {db::text(id), db::text(toString(write.tier)), db::text(write.body), db::Value(tokens),
       db::optionalText(write.project), db::optionalText(write.contextPath),
       db::text(toString(write.type)), db::optionalText(write.tags), db::text(nowText),
       db::text(nowText), db::Value(importance), db::optionalText(write.sourceSession), db::Null{},
       db::Null{}, db::Null{}, db::Null{}, db::Value(std::int64_t{0}), db::Value(std::int64_t{0}),
       db::Null{}});
}

void reinforceMemory(const std::string& id, db::Connection& connection) {
  connection.run(kReinforceMemory, {db::text(platform::currentTimestampText()), db::text(id)});
}

void syncMemoryFTS(const std::string& id, const std::string& body,
                   const std::optional<std::string>& tags, db::Connection& connection) {
  std::optional<std::int64_t> rowid;
  {
    db::Statement statement = connection.prepare(kMemoryRowid);
    statement.bindText(1, id);
    if (statement.step()) rowid = db::integerOf(statement.column(0));
  }
  if (!rowid) return;
  connection.run(kInsertFTS, {db::Value(*rowid), db::text(body), db::text(tags.value_or(""))});
}

std::vector<Memory> recentMemories(const std::optional<std::string>& project, std::int64_t limit,
                                   db::Connection& connection) {
  if (project) {
    const db::Value bindings[] = {db::text(*project), db::Value(limit)};
    return queryMemories(kRecentForProject, bindings, connection);
  }
  const db::Value bindings[] = {db::Value(limit)};
  return queryMemories(kRecentAll, bindings, connection);
}

}  // namespace nodrel::store
