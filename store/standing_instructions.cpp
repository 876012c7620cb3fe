#include "store/standing_instructions.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kGlobalInstructions = R"sql(
  SELECT id, content, scope_type, source FROM standing_instructions
  WHERE active = 1 AND scope_type = 'global' ORDER BY created_at DESC)sql";
constexpr std::string_view kProjectInstructions = R"sql(
  SELECT id, content, scope_type, source FROM standing_instructions
  WHERE active = 1 AND (scope_type = 'global' OR project_id = ?)
  ORDER BY scope_type DESC, created_at DESC)sql";
constexpr std::string_view kCountStandingInstructions =
    "    SELECT COUNT(*) FROM standing_instructions\n"
    "    WHERE active = 1 AND (project_id = ? OR scope_type = 'global')";
constexpr std::string_view kCountGlobalStandingInstructions =
    "SELECT COUNT(*) FROM standing_instructions WHERE active = 1 AND scope_type = 'global'";
constexpr std::string_view kInsertGlobalInstruction =
    "INSERT INTO standing_instructions (id, content, scope_type, source, surface, active, "
    "created_at) VALUES (?, ?, 'global', 'session_log', ?, 1, ?)";
constexpr std::string_view kInsertProjectInstruction =
    "INSERT INTO standing_instructions (id, content, scope_type, project_id, source, surface, "
    "active, created_at) VALUES (?, ?, 'project', ?, 'session_log', ?, 1, ?)";
constexpr std::string_view kRetireInstructionsWithContent = R"sql(
  UPDATE standing_instructions SET active = 0
  WHERE content = ?1 AND active = 1
    AND (scope_type = 'global' OR project_id IN (SELECT id FROM projects WHERE path IS ?2)))sql";

}  // namespace

std::vector<StandingInstruction> activeStandingInstructions(
    const std::optional<std::string>& projectID, db::Connection& db) {
  auto rows = projectID ? db.query(kProjectInstructions, {db::text(*projectID)})
                        : db.query(kGlobalInstructions);
  std::vector<StandingInstruction> instructions;
  for (const auto& row : rows) {
    instructions.push_back(
        {db::textOr(row[0]), db::textOr(row[1]), db::textOr(row[2]), db::textOr(row[3])});
  }
  return instructions;
}

std::int64_t countActiveStandingInstructions(const std::optional<std::string>& projectID,
                                             db::Connection& db) {
  const auto value = projectID ? db.scalar(kCountStandingInstructions, {db::text(*projectID)})
                               : db.scalar(kCountGlobalStandingInstructions);
  return value ? db::integerOf(*value).value_or(0) : 0;
}

void insertStandingInstruction(const NewStandingInstruction& instruction, db::Connection& db) {
  if (instruction.projectID) {
    db.run(
        kInsertProjectInstruction,
        {db::text(instruction.id), db::text(instruction.content), db::text(*instruction.projectID),
         db::text(instruction.surface), db::text(instruction.createdAt)});
  } else {
    db.run(kInsertGlobalInstruction,
           {db::text(instruction.id), db::text(instruction.content), db::text(instruction.surface),
            db::text(instruction.createdAt)});
  }
}

int retireStandingInstructionsWithContent(const std::string& content,
                                          const std::optional<std::string>& projectPath,
                                          db::Connection& db) {
  return db.run(kRetireInstructionsWithContent, {db::text(content), db::optionalText(projectPath)});
}

}  // namespace nodrel::store
