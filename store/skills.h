// store/skills.h: the `skills` table as the context reads it: what was learned once and
// applies again, globally or to some projects. Throws db::Error when the statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// One skill; a NULL text column reads as "".
struct Skill {
  std::string id;
  std::string name;
  std::string displayName;
  std::string description;
  std::string content;
  // The stored keywords when they are a JSON array of texts only; none otherwise.
  std::vector<std::string> triggerKeywords;
  std::string scope;
  double confidence = 0.0;  // an integer confidence reads as its value, anything else as 0
  std::int64_t useCount = 0;
  friend bool operator==(const Skill&, const Skill&) = default;
};

// The global skills, plus with a project id the skills learned from it or applying to it
// (`applies_to` naming the id anywhere); best confidence first, then most used.
std::vector<Skill> skillsFor(const std::optional<std::string>& projectID, db::Connection& db);

// One skill as promotion to a task reads it; a NULL text column reads as "".
struct PromotableSkill {
  std::string id;
  std::string name;
  std::string displayName;
  std::string description;
  std::string content;
  std::optional<std::string> learnedFrom;  // the project the task will belong to
  double confidence = 0.0;                 // only a real confidence reads as its value
  std::int64_t useCount = 0;
  friend bool operator==(const PromotableSkill&, const PromotableSkill&) = default;
};

// The skill with the id; nothing when there is none.
std::optional<PromotableSkill> findPromotableSkill(const std::string& skillID, db::Connection& db);

}  // namespace nodrel::store
