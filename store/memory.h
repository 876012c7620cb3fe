// store/memory.h: one row of `memories` as a value, its enumerations with their stored texts,
// and the decoding of a row in the memory column list.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/value.h"
#include "platform/time.h"

namespace nodrel::store {

enum class MemoryTier { Episodic, Semantic, Procedural, Cold };
enum class MemoryType {
  Correction,
  Decision,
  Fact,
  Rule,
  Workflow,
  Observation,
  KeyPoint,
  Handoff,
  State
};
enum class MemoryConditionType { RepoPath, SymbolTouched, TaskKeyword, FileGlob };

std::string_view toString(MemoryTier tier);
std::string_view toString(MemoryType type);
std::string_view toString(MemoryConditionType type);

// Exact, case-sensitive match of the stored text; nothing otherwise.
std::optional<MemoryTier> memoryTierFromRaw(std::string_view raw);
std::optional<MemoryType> memoryTypeFromRaw(std::string_view raw);
std::optional<MemoryConditionType> memoryConditionTypeFromRaw(std::string_view raw);

// The memory type a saved session context of this kind is mirrored as.
MemoryType memoryTypeForContextKind(std::string_view kind);

struct Memory {
  std::string id;
  MemoryTier tier = MemoryTier::Episodic;
  std::string body;
  std::int64_t bodyTokens = 0;
  std::optional<std::string> project;  // absent for memories that belong to no project
  std::optional<std::string> contextPath;
  MemoryType type = MemoryType::Observation;
  std::optional<std::string> tags;
  platform::Instant createdAt{};
  platform::Instant lastAccessed{};
  std::int64_t accessCount = 0;
  double strength = 1.0;
  std::int64_t importance = 5;
  bool pinned = false;
  std::int64_t evidenceCount = 1;
  std::optional<std::string> parentID;
  std::optional<std::string> sourceSession;
  double predictedFutureUse = 0.5;
  std::optional<MemoryConditionType> conditionType;
  std::optional<std::string> conditionValue;
  std::optional<std::string> surfaceCondition;
  std::optional<std::string> triggerKeywords;
  std::int64_t depth = 0;
  bool isTopLevel = false;

  friend bool operator==(const Memory&, const Memory&) = default;
};

// The 24 columns, in field order, that every query loading whole memories selects.
inline constexpr std::string_view kMemoryColumns =
    "id, tier, body, body_tokens, project, context_path, type, tags, created_at, "
    "last_accessed, access_count, strength, importance, pinned, evidence_count, parent_id, "
    "source_session, predicted_future_use, condition_type, condition_value, "
    "surface_condition, trigger_keywords, depth, is_top_level";

// The same list with every column prefixed by `alias` + ".".
std::string memoryColumns(std::string_view alias);

// Decodes a row whose first 24 values are the memory column list; further values are ignored.
// Nothing when `id`, `tier` or `body` is not text. Never throws.
std::optional<Memory> memoryFromRow(const db::Row& row);

// Runs the query and decodes each row, skipping rows that do not decode. Throws db::Error.
std::vector<Memory> queryMemories(std::string_view sql, std::span<const db::Value> bindings,
                                  db::Connection& connection);

}  // namespace nodrel::store
