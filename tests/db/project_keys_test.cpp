#include "db/project_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/schema.h"
#include "tests/support/temp_home.h"

namespace nodrel::db {
namespace {

using namespace std::string_literals;

// A database written before every writer stored one key per project: the first writer to open it
// brings the rows to that key once, merging two registrations of the same directory.
TEST(ProjectKeys, RowsStoredUnderAnotherSpellingAreMigratedOnce) {
  testing::TestDatabase database;
  Connection& db = database.db();
  db.exec("PRAGMA user_version = 0");
  db.exec(R"sql(
    INSERT INTO projects (id, name, path, context_summary, created_at) VALUES
      ('A', 'harbor', '/w/harbor', NULL, '2026-01-01'),
      ('B', 'harbor', '/w/harbor/', 'Ferry timetable service', '2026-01-02'),
      ('C', 'pier', '/w/./pier//', NULL, '2026-01-03'),
      ('D', 'rel', 'rel/dir/', NULL, '2026-01-04');
    INSERT INTO corrections (id, project_id, content) VALUES ('c1', 'B', 'Never push to main');
    INSERT INTO standing_instructions (id, project_id, content) VALUES ('s1', 'B', 'British');
    INSERT INTO memories (id, tier, body, project) VALUES
      ('m1', 'episodic', 'one', '/w/harbor/'), ('m2', 'episodic', 'two', '/w/harbor'),
      ('m3', 'episodic', 'three', '/w/x/../pier'), ('m4', 'episodic', 'four', NULL),
      ('m5', 'episodic', 'five', 'relative/');
    INSERT INTO checkpoints (id, project_path) VALUES ('k1', '/w/harbor/');
  )sql");

  ensureSchema(db);
  EXPECT_EQ(db.query("SELECT id, path, context_summary FROM projects ORDER BY id"),
            (std::vector<Row>{{"A"s, "/w/harbor"s, "Ferry timetable service"s},
                              {"C"s, "/w/pier"s, Null{}},
                              {"D"s, "rel/dir/"s, Null{}}}));
  EXPECT_EQ(db.query("SELECT project_id FROM corrections UNION ALL "
                     "SELECT project_id FROM standing_instructions"),
            (std::vector<Row>{{"A"s}, {"A"s}}));
  EXPECT_EQ(db.query("SELECT id, project FROM memories ORDER BY id"),
            (std::vector<Row>{{"m1"s, "/w/harbor"s},
                              {"m2"s, "/w/harbor"s},
                              {"m3"s, "/w/pier"s},
                              {"m4"s, Null{}},
                              {"m5"s, "relative/"s}}));
  EXPECT_EQ(db.scalar("SELECT project_path FROM checkpoints"), Value("/w/harbor"s));

  // Done once: a row written later in another spelling is the writer's to normalise.
  db.run("UPDATE memories SET project = '/w/harbor/' WHERE id = 'm2'");
  ensureSchema(db);
  EXPECT_EQ(db.scalar("SELECT project FROM memories WHERE id = 'm2'"), Value("/w/harbor/"s));
}

}  // namespace
}  // namespace nodrel::db
