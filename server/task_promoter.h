// server/task_promoter.h: skills that have proven themselves become tasks, rows of `tasks`
// that carry the skill's content as a script. Promotion is idempotent per skill.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "store/tasks.h"

namespace nodrel::server {

using store::PromotedTask;

class TaskPromoterError : public std::runtime_error {
 public:
  enum class Kind { SkillNotFound, CriteriaNotMet, InsertFailed };

  static TaskPromoterError skillNotFound(const std::string& skillID);
  static TaskPromoterError criteriaNotMet(const std::string& message);
  static TaskPromoterError insertFailed();

  Kind kind() const noexcept { return kind_; }
  // The skill id or the criteria message; empty for insertFailed.
  const std::string& detail() const noexcept { return detail_; }

 private:
  TaskPromoterError(Kind kind, std::string detail, const std::string& description)
      : std::runtime_error(description), kind_(kind), detail_(std::move(detail)) {}
  Kind kind_;
  std::string detail_;
};

class TaskPromoter {
 public:
  explicit TaskPromoter(db::Connection& connection) : connection_(connection) {}

  // The skill's active task, promoting the skill first when it has none. Throws
  // TaskPromoterError or db::Error.
  PromotedTask promote(const std::string& skillID);
  std::optional<PromotedTask> fetchActiveTask(const std::string& skillID);
  // Newest promotion first; with a project, its tasks and those of no project.
  std::vector<PromotedTask> fetchActiveTasks(const std::optional<std::string>& projectPath);

 private:
  db::Connection& connection_;
};

// The shortest text that reads back as the value, always with a fractional part (0 is "0.0").
std::string shortestDecimal(double value);

nlohmann::json taskJSON(const PromotedTask& task);

}  // namespace nodrel::server
