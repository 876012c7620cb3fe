#include "server/tools/memory_sections.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

#include "db/savepoint.h"
#include "platform/time.h"
#include "server/projects.h"
#include "server/tools/context_sections.h"
#include "server/tools/tool_result.h"
#include "store/mem_scenes.h"
#include "store/recall.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::int64_t kMemoryLimit = 15;
constexpr std::int64_t kSceneMinimumOverlap = 2;

// Each recall is recorded even when the same memories were shown before. One transaction for
// all rows keeps a context call to a single commit; a row that fails is left out and the rest
// are still written.
void recordInjections(const std::vector<store::ScoredMemory>& recalled,
                      db::Connection& connection) {
  if (recalled.empty()) return;
  std::optional<db::Savepoint> batch;
  try {
    batch.emplace(connection, "nodrel_injection_signals");
  } catch (const std::exception&) {
    // Without the transaction each row commits by itself; what is stored is the same.
  }
  for (const auto& scored : recalled) {
    try {
      store::recordInjectionSignal(scored.memory.id, std::nullopt, connection);
    } catch (const std::exception&) {
    }
  }
  if (batch) {
    try {
      batch->commit();
    } catch (const std::exception&) {
    }
  }
}

}  // namespace

json fetchTopMemories(const std::string& projectPath, db::Connection& connection,
                      store::KeptVectorCopy* keptVectors) {
  if (projectPath.empty()) return json::array();
  std::vector<store::ScoredMemory> recalled;
  try {
    recalled = store::recallMemories(projectDisplayName(projectPath), projectPath, kMemoryLimit,
                                     connection, keptVectors);
  } catch (const std::exception& e) {
    logSectionFailure("fetchTopMemories", e);
    return json::array();
  }
  recordInjections(recalled, connection);
  json memories = json::array();
  for (const auto& scored : recalled) {
    memories.push_back(memoryJSONForContext(scored.memory, scored.score));
  }
  return memories;
}

json memoryJSONForContext(const store::Memory& memory, double score) {
  return {{"id", memory.id},
          {"body", memory.body},
          {"type", store::toString(memory.type)},
          {"tier", store::toString(memory.tier)},
          {"tags", memory.tags.value_or("")},
          {"importance", memory.importance},
          {"access_count", memory.accessCount},
          {"score", roundedScore(score)},
          {"created_at", platform::sharedTimestampFormatter().format(memory.createdAt)}};
}

json fetchMemScenes(const std::set<std::string>& memoryIDs, db::Connection& connection) {
  json scenes = json::array();
  if (memoryIDs.empty()) return scenes;
  const std::vector<std::string> ids(memoryIDs.begin(), memoryIDs.end());
  try {
    for (const auto& found : store::findOverlappingScenes(ids, kSceneMinimumOverlap, connection)) {
      scenes.push_back({{"id", found.scene.id},
                        {"summary", found.scene.summary},
                        {"tier", found.scene.tier},
                        {"member_count", static_cast<std::int64_t>(found.scene.members.size())},
                        {"overlap_count", found.overlap}});
    }
  } catch (const std::exception& e) {
    logSectionFailure("fetchMemScenes", e);
    return json::array();
  }
  return scenes;
}

}  // namespace nodrel::server
