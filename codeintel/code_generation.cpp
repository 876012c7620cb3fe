#include "codeintel/code_generation.h"

#include "db/error.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kBumpGeneration =
    R"sql(INSERT INTO code_generations (project, generation)
VALUES (?, 1)
ON CONFLICT(project) DO UPDATE SET generation = generation + 1)sql";

constexpr std::string_view kSelectGeneration =
    "SELECT generation FROM code_generations WHERE project = ?";

constexpr std::string_view kSelectTotalGeneration =
    "SELECT TOTAL(generation) FROM code_generations";

}  // namespace

void bumpCodeGeneration(const std::string& project, db::Connection& db) {
  db.run(kBumpGeneration, {db::text(project)});
}

std::optional<std::int64_t> codeGeneration(const std::string& project, db::Connection& db) {
  try {
    auto value = db.scalar(kSelectGeneration, {db::text(project)});
    if (!value) return 0;
    return db::integerOf(*value);
  } catch (const db::Error&) {
    return std::nullopt;
  }
}

std::optional<std::int64_t> totalCodeGeneration(db::Connection& db) {
  try {
    auto value = db.scalar(kSelectTotalGeneration);
    auto total = value ? db::realOf(*value) : std::nullopt;
    if (!total) return std::nullopt;
    return static_cast<std::int64_t>(*total);
  } catch (const db::Error&) {
    return std::nullopt;
  }
}

}  // namespace nodrel::codeintel
