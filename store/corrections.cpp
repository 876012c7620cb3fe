#include "store/corrections.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kCorrections = R"sql(
  SELECT id, content, status, source, created_at, rationale FROM corrections
  WHERE project_id = ? ORDER BY created_at DESC LIMIT 10)sql";
constexpr std::string_view kCountProjectCorrections =
    "SELECT COUNT(*) FROM corrections WHERE project_id = ?";
constexpr std::string_view kInsertCorrection =
    "INSERT INTO corrections (id, project_id, content, source, status, surface, rationale, "
    "created_at) VALUES (?, ?, ?, ?, 'pending', ?, ?, ?)";
constexpr std::string_view kDeleteCorrectionsWithContent = R"sql(
  DELETE FROM corrections
  WHERE content = ?1 AND project_id IN (SELECT id FROM projects WHERE path IS ?2))sql";

}  // namespace

std::vector<Correction> recentCorrections(const std::string& projectID, db::Connection& db) {
  std::vector<Correction> corrections;
  for (const auto& row : db.query(kCorrections, {db::text(projectID)})) {
    corrections.push_back({db::textOr(row[0]), db::textOr(row[1]), db::textOr(row[2]),
                           db::textOr(row[3]), db::textOr(row[4]), db::textOr(row[5])});
  }
  return corrections;
}

std::int64_t countCorrections(const std::string& projectID, db::Connection& db) {
  const auto value = db.scalar(kCountProjectCorrections, {db::text(projectID)});
  return value ? db::integerOf(*value).value_or(0) : 0;
}

void insertCorrection(const NewCorrection& correction, db::Connection& db) {
  db.run(kInsertCorrection,
         {db::text(correction.id), db::text(correction.projectID), db::text(correction.content),
          db::text(correction.source), db::text(correction.surface),
          db::optionalText(correction.rationale), db::text(correction.createdAt)});
}

int deleteCorrectionsWithContent(const std::string& content,
                                 const std::optional<std::string>& projectPath,
                                 db::Connection& db) {
  return db.run(kDeleteCorrectionsWithContent, {db::text(content), db::optionalText(projectPath)});
}

}  // namespace nodrel::store
