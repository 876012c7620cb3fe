#include "app/memory_admin.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "db/error.h"
#include "db/savepoint.h"
#include "platform/time.h"

namespace nodrel::app {
namespace {

constexpr std::string_view kListMemories = R"sql(
  SELECT id, tier, type, project, created_at, body, deleted_at FROM memories
  WHERE (?1 IS NULL OR project = ?1) AND (?2 = 1 OR deleted_at IS NULL)
  ORDER BY created_at DESC, rowid DESC
  LIMIT ?3)sql";

// Ids are lower-case hexadecimal, so a prefix holds no GLOB wildcard; two rows are enough to
// tell a unique prefix from an ambiguous one.
constexpr std::string_view kMemoriesByIdPrefix = R"sql(
  SELECT id, tier, type, project, created_at, body, deleted_at FROM memories
  WHERE id GLOB ?1 || '*'
  LIMIT 2)sql";

constexpr std::string_view kForgetMemory = R"sql(
  UPDATE memories SET deleted_at = ? WHERE id = ? AND deleted_at IS NULL)sql";

// What the server saved beside a memory it mirrors (a correction, a session-context note, a
// standing instruction) is shown on its own by the context tools: forgetting the memory
// removes the correction and the note, and retires the instruction, so none of them comes back.
constexpr std::string_view kForgetMirroredCorrections = R"sql(
  DELETE FROM corrections
  WHERE content = ?1 AND project_id IN (SELECT id FROM projects WHERE path IS ?2))sql";
constexpr std::string_view kForgetMirroredContexts = R"sql(
  DELETE FROM session_context
  WHERE content = ?1 AND project_id IN (SELECT id FROM projects WHERE path IS ?2))sql";
constexpr std::string_view kRetireMirroredInstructions = R"sql(
  UPDATE standing_instructions SET active = 0
  WHERE content = ?1 AND active = 1
    AND (scope_type = 'global' OR project_id IN (SELECT id FROM projects WHERE path IS ?2)))sql";

std::string textOr(const db::Value& value, std::string fallback) {
  const std::string* text = db::textOf(value);
  return text ? *text : fallback;
}

std::optional<std::string> optionalText(const db::Value& value) {
  const std::string* text = db::textOf(value);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

ListedMemory listedMemory(const db::Row& row) {
  return ListedMemory{
      .id = textOr(row[0], ""),
      .tier = textOr(row[1], "?"),
      .type = textOr(row[2], "?"),
      .project = optionalText(row[3]),
      .createdAt = textOr(row[4], ""),
      .body = textOr(row[5], ""),
      .deletedAt = optionalText(row[6]),
  };
}

ListedMemory resolve(db::Connection& connection, const std::string& given) {
  std::string prefix = given;
  std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool hex = std::all_of(prefix.begin(), prefix.end(),
                               [](unsigned char c) { return std::isxdigit(c) != 0; });
  if (!hex || prefix.empty()) throw ForgetError("not a memory id: " + given);
  if (prefix.size() < kMinimumIdPrefix) {
    throw ForgetError(given + " is too short: give at least " + std::to_string(kMinimumIdPrefix) +
                      " characters of the id");
  }
  const auto rows = connection.query(kMemoriesByIdPrefix, {db::text(prefix)});
  if (rows.empty()) throw ForgetError("no memory has the id " + given);
  if (rows.size() > 1) {
    throw ForgetError(given + " names more than one memory: give more characters of the id");
  }
  return listedMemory(rows.front());
}

}  // namespace

std::vector<ListedMemory> listMemories(db::Connection& connection, const ListFilter& filter) {
  std::vector<ListedMemory> memories;
  const db::Value project =
      filter.project ? db::Value(db::text(*filter.project)) : db::Value(db::Null{});
  for (const db::Row& row : connection.query(
           kListMemories, {project, std::int64_t{filter.includeDeleted ? 1 : 0}, filter.limit})) {
    memories.push_back(listedMemory(row));
  }
  return memories;
}

std::vector<ForgetOutcome> forgetMemories(db::Connection& connection,
                                          const std::vector<std::string>& ids) {
  // A writer from the start: the server may be writing, and the busy timeout only helps a
  // transaction that does not have to upgrade from reading.
  db::Savepoint transaction(connection, "nodrel_forget");
  std::vector<ForgetOutcome> outcomes;
  for (const std::string& id : ids) {
    ListedMemory memory = resolve(connection, id);
    const bool seen = std::any_of(outcomes.begin(), outcomes.end(),
                                  [&](const auto& o) { return o.memory.id == memory.id; });
    if (seen) continue;
    outcomes.push_back({std::move(memory), false});
  }
  const std::string now = platform::currentTimestampText();
  for (ForgetOutcome& outcome : outcomes) {
    outcome.alreadyForgotten =
        connection.run(kForgetMemory, {db::text(now), db::text(outcome.memory.id)}) == 0;
    const db::Value project = outcome.memory.project ? db::Value(db::text(*outcome.memory.project))
                                                     : db::Value(db::Null{});
    for (std::string_view sql :
         {kForgetMirroredCorrections, kForgetMirroredContexts, kRetireMirroredInstructions}) {
      connection.run(sql, {db::text(outcome.memory.body), project});
    }
  }
  transaction.commit();
  return outcomes;
}

}  // namespace nodrel::app
