#include "store/skills.h"

#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kGlobalSkills = R"sql(
  SELECT id, name, display_name, description, content, trigger_keywords, scope, confidence,
         use_count
  FROM skills WHERE scope = 'global' ORDER BY confidence DESC, use_count DESC)sql";
constexpr std::string_view kProjectSkills = R"sql(
  SELECT id, name, display_name, description, content, trigger_keywords, scope, confidence,
         use_count
  FROM skills WHERE scope = 'global' OR learned_from = ? OR applies_to LIKE ?
  ORDER BY confidence DESC, use_count DESC)sql";
constexpr std::string_view kSelectSkill =
    "SELECT id, name, display_name, description, content, learned_from, confidence, use_count "
    "FROM skills WHERE id = ? LIMIT 1";

std::vector<std::string> triggerKeywords(const db::Value& value) {
  const std::string* text = db::textOf(value);
  const auto parsed = nlohmann::json::parse(text ? *text : std::string("[]"), nullptr, false);
  if (!parsed.is_array()) return {};
  std::vector<std::string> keywords;
  for (const auto& element : parsed) {
    if (!element.is_string()) return {};
    keywords.push_back(element.get<std::string>());
  }
  return keywords;
}

Skill skillFromRow(const db::Row& row) {
  Skill skill;
  skill.id = db::textOr(row[0]);
  skill.name = db::textOr(row[1]);
  skill.displayName = db::textOr(row[2]);
  skill.description = db::textOr(row[3]);
  skill.content = db::textOr(row[4]);
  skill.triggerKeywords = triggerKeywords(row[5]);
  skill.scope = db::textOr(row[6]);
  if (auto real = db::realOf(row[7])) {
    skill.confidence = *real;
  } else if (auto whole = db::integerOf(row[7])) {
    skill.confidence = static_cast<double>(*whole);
  }
  skill.useCount = db::integerOf(row[8]).value_or(0);
  return skill;
}

}  // namespace

std::vector<Skill> skillsFor(const std::optional<std::string>& projectID, db::Connection& db) {
  const auto rows =
      projectID ? db.query(kProjectSkills, {db::text(*projectID), db::text("%" + *projectID + "%")})
                : db.query(kGlobalSkills);
  std::vector<Skill> skills;
  for (const auto& row : rows) skills.push_back(skillFromRow(row));
  return skills;
}

std::optional<PromotableSkill> findPromotableSkill(const std::string& skillID, db::Connection& db) {
  auto rows = db.query(kSelectSkill, {db::text(skillID)});
  if (rows.empty()) return std::nullopt;
  const db::Row& row = rows.front();
  PromotableSkill skill;
  skill.id = db::textOr(row[0]);
  skill.name = db::textOr(row[1]);
  skill.displayName = db::textOr(row[2]);
  skill.description = db::textOr(row[3]);
  skill.content = db::textOr(row[4]);
  if (const std::string* learnedFrom = db::textOf(row[5])) skill.learnedFrom = *learnedFrom;
  skill.confidence = db::realOf(row[6]).value_or(0.0);
  skill.useCount = db::integerOf(row[7]).value_or(0);
  return skill;
}

}  // namespace nodrel::store
