// db/project_keys.h: every table keeps a project directory under one key
// (platform::normaliseProjectPath). Rows written before every writer did are brought to that key
// once per database, so a project stored as "/work/app/" is found as "/work/app".
#pragma once

#include "db/connection.h"

namespace nodrel::db {

// Rewrites the stored project paths that are absolute but not in key form, merging a `projects`
// row into the one already registered under the key (its corrections, instructions, session
// rows and context follow it). Relative paths are left as they are. Then marks the database
// done ("PRAGMA user_version"), so later opens skip it. Runs inside the caller's transaction.
// Throws Error.
void migrateProjectKeys(Connection& connection);

// Whether migrateProjectKeys has yet to run on this database. Throws Error.
bool projectKeysNeedMigration(Connection& connection);

}  // namespace nodrel::db
