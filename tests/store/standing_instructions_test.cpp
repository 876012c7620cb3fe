#include "store/standing_instructions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/value.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

// Forgetting a mirrored memory retires the instruction of the same text wherever the memory's
// project could see it: globally and in that project, never in another project.
TEST(StandingInstructions, RetiringByContentKeepsToTheProjectAndTheGlobalScope) {
  testing::TestDatabase database;
  db::Connection& db = database.db();
  db.exec(
      "INSERT INTO projects (id, name, path) VALUES ('P', 'app', '/work/app'), "
      "('Q', 'lib', '/work/lib');"
      "INSERT INTO standing_instructions (id, content, scope_type, project_id, active, "
      "created_at) VALUES "
      "('global', 'Use tabs', 'global', NULL, 1, '1'),"
      "('mine', 'Use tabs', 'project', 'P', 1, '2'),"
      "('other', 'Use tabs', 'project', 'Q', 1, '3'),"
      "('different', 'Use spaces', 'project', 'P', 1, '4'),"
      "('lint-global', 'Lint first', 'global', NULL, 1, '5'),"
      "('lint-mine', 'Lint first', 'project', 'P', 1, '6');");

  // A memory of no project reaches only the global instruction.
  EXPECT_EQ(retireStandingInstructionsWithContent("Lint first", std::nullopt, db), 1);
  EXPECT_EQ(retireStandingInstructionsWithContent("Use tabs", std::string("/work/app"), db), 2);
  EXPECT_EQ(retireStandingInstructionsWithContent("Use tabs", std::string("/work/app"), db), 0);

  std::vector<std::string> active;
  for (const auto& row : db.query("SELECT id FROM standing_instructions WHERE active = 1 "
                                  "ORDER BY id")) {
    active.push_back(*db::textOf(row[0]));
  }
  EXPECT_EQ(active, (std::vector<std::string>{"different", "lint-mine", "other"}));
}

}  // namespace
}  // namespace nodrel::store
