#include "app/memory_admin.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "db/savepoint.h"
#include "platform/time.h"
#include "store/corrections.h"
#include "store/session_context.h"
#include "store/standing_instructions.h"

namespace nodrel::app {
namespace {

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
  auto found = store::memoriesWithIdPrefix(prefix, connection);
  if (found.empty()) throw ForgetError("no memory has the id " + given);
  if (found.size() > 1) {
    throw ForgetError(given + " names more than one memory: give more characters of the id");
  }
  return std::move(found.front());
}

}  // namespace

std::vector<ListedMemory> listMemories(db::Connection& connection, const ListFilter& filter) {
  return store::listedMemories(filter.project, filter.includeDeleted, filter.limit, connection);
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
    const ListedMemory& memory = outcome.memory;
    outcome.alreadyForgotten = !store::forgetMemory(memory.id, now, connection);
    // What the server saved beside a memory it mirrors (a correction, a session-context note, a
    // standing instruction) is shown on its own by the context tools: forgetting the memory
    // removes the correction and the note, and retires the instruction, so none of them comes
    // back.
    store::deleteCorrectionsWithContent(memory.body, memory.project, connection);
    store::deleteSessionContextsWithContent(memory.body, memory.project, connection);
    store::retireStandingInstructionsWithContent(memory.body, memory.project, connection);
  }
  transaction.commit();
  return outcomes;
}

}  // namespace nodrel::app
