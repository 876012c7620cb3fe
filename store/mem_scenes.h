// store/mem_scenes.h: scenes, named groups of memories with a summary, read from `mem_scenes`
// and `mem_scene_members`. The tables are filled outside the two programs; the store only reads
// them and treats them as possibly empty.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "db/value.h"
#include "platform/time.h"

namespace nodrel::store {

struct MemSceneMember {
  std::string memoryID;
  std::string role;  // free text as stored
  friend bool operator==(const MemSceneMember&, const MemSceneMember&) = default;
};

struct MemScene {
  std::string id;
  std::string summary;
  std::optional<std::string> project;
  std::string tier;  // as stored, not checked against the memory tiers
  platform::Instant createdAt{};
  std::vector<MemSceneMember> members;  // in insertion order
  friend bool operator==(const MemScene&, const MemScene&) = default;
};

struct SceneOverlap {
  MemScene scene;
  std::int64_t overlap = 0;
  friend bool operator==(const SceneOverlap&, const SceneOverlap&) = default;
};

// The scenes with at least `minOverlap` member rows among `memoryIDs` (an identifier given
// twice counts once; a scene listing a memory twice counts it twice), highest count first.
// Throws db::Error when a statement cannot be run (for instance when the tables are missing);
// scenes found before the failure are not returned.
std::vector<SceneOverlap> findOverlappingScenes(std::span<const std::string> memoryIDs,
                                                std::int64_t minOverlap,
                                                db::Connection& connection);

// One scene from a row (id, summary, project, tier, created_at) with its members; nothing when
// id, summary, tier or created_at is not text. Throws db::Error of the members' read.
std::optional<MemScene> loadMemScene(const db::Row& row, db::Connection& connection);

// The scene's members in insertion order; rows whose memory_id or role is not text are skipped.
// Throws db::Error.
std::vector<MemSceneMember> loadSceneMembers(const std::string& sceneID,
                                             db::Connection& connection);

}  // namespace nodrel::store
