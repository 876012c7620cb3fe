#include "store/mem_scenes.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "store/in_list.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSelectOverlapHead = R"sql(
    SELECT msm.scene_id, COUNT(*) AS overlap_count
    FROM mem_scene_members msm
    WHERE msm.memory_id IN ()sql";
constexpr std::string_view kSelectOverlapTail = R"sql()
    GROUP BY msm.scene_id
    HAVING overlap_count >= ?
    ORDER BY overlap_count DESC)sql";

constexpr std::string_view kSelectScene = R"sql(
    SELECT id, summary, project, tier, created_at
    FROM mem_scenes
    WHERE id = ?
    LIMIT 1)sql";

constexpr std::string_view kSelectSceneMembers = R"sql(
    SELECT memory_id, role
    FROM mem_scene_members
    WHERE scene_id = ?
    ORDER BY rowid ASC)sql";

struct SceneCount {
  std::string sceneID;
  std::int64_t count = 0;
};

std::vector<SceneCount> overlapCounts(std::span<const std::string> ids, std::int64_t minOverlap,
                                      db::Connection& connection) {
  std::string sql(kSelectOverlapHead.substr(1));
  sql += sqlPlaceholders(ids.size());
  sql += kSelectOverlapTail;
  std::vector<db::Value> bindings(ids.begin(), ids.end());
  bindings.emplace_back(minOverlap);
  std::vector<SceneCount> counts;
  connection.each(sql, bindings, [&](const db::Row& row) {
    const std::string* scene = row.size() >= 2 ? db::textOf(row[0]) : nullptr;
    auto count = row.size() >= 2 ? db::integerOf(row[1]) : std::nullopt;
    if (scene && count) counts.push_back({*scene, *count});
    return true;
  });
  return counts;
}

}  // namespace

std::vector<SceneOverlap> findOverlappingScenes(std::span<const std::string> memoryIDs,
                                                std::int64_t minOverlap,
                                                db::Connection& connection) {
  std::vector<SceneOverlap> scenes;
  if (memoryIDs.empty()) return scenes;

  std::vector<SceneCount> counts;
  if (memoryIDs.size() <= kInListBatchSize) {
    counts = overlapCounts(memoryIDs, minOverlap, connection);
  } else {
    // Too many identifiers for one statement: count per batch and add up. Identifiers are made
    // unique first, since one identifier in two batches would count twice where one IN list
    // counts it once.
    std::vector<std::string> unique;
    std::unordered_set<std::string> seen;
    for (const auto& id : memoryIDs) {
      if (seen.insert(id).second) unique.push_back(id);
    }
    std::unordered_map<std::string, std::size_t> indexOf;
    forEachBatch<std::string>(unique, kInListBatchSize, [&](std::span<const std::string> batch) {
      for (auto& partial : overlapCounts(batch, 1, connection)) {
        auto [it, inserted] = indexOf.emplace(partial.sceneID, counts.size());
        if (inserted) {
          counts.push_back(std::move(partial));
        } else {
          counts[it->second].count += partial.count;
        }
      }
    });
    std::erase_if(counts, [&](const SceneCount& c) { return c.count < minOverlap; });
    std::stable_sort(counts.begin(), counts.end(),
                     [](const SceneCount& a, const SceneCount& b) { return a.count > b.count; });
  }

  for (const auto& [sceneID, count] : counts) {
    std::optional<db::Row> sceneRow;
    connection.each(kSelectScene, std::vector<db::Value>{db::Value(sceneID)},
                    [&](const db::Row& row) {
                      sceneRow = row;
                      return false;
                    });
    if (!sceneRow) continue;
    if (auto scene = loadMemScene(*sceneRow, connection)) {
      scenes.push_back({std::move(*scene), count});
    }
  }
  return scenes;
}

std::optional<MemScene> loadMemScene(const db::Row& row, db::Connection& connection) {
  if (row.size() < 5) return std::nullopt;
  const std::string* id = db::textOf(row[0]);
  const std::string* summary = db::textOf(row[1]);
  const std::string* tier = db::textOf(row[3]);
  const std::string* createdAt = db::textOf(row[4]);
  if (!id || !summary || !tier || !createdAt) return std::nullopt;

  MemScene scene;
  scene.id = *id;
  scene.summary = *summary;
  if (const std::string* project = db::textOf(row[2])) scene.project = *project;
  scene.tier = *tier;
  scene.members = loadSceneMembers(scene.id, connection);
  scene.createdAt =
      platform::sharedTimestampFormatter().parse(*createdAt).value_or(platform::now());
  return scene;
}

std::vector<MemSceneMember> loadSceneMembers(const std::string& sceneID,
                                             db::Connection& connection) {
  std::vector<MemSceneMember> members;
  connection.each(kSelectSceneMembers, std::vector<db::Value>{db::Value(sceneID)},
                  [&](const db::Row& row) {
                    const std::string* memoryID = row.size() >= 2 ? db::textOf(row[0]) : nullptr;
                    const std::string* role = row.size() >= 2 ? db::textOf(row[1]) : nullptr;
                    if (memoryID && role) members.push_back({*memoryID, *role});
                    return true;
                  });
  return members;
}

}  // namespace nodrel::store
