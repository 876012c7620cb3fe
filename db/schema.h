// db/schema.h: the companion schema, every table, column and index that the two programs'
// statements read or write. `nodrel-app init` and the tests create the database with it.
#pragma once

#include "db/connection.h"

namespace nodrel::db {

// Creates whatever is missing; on an existing database it changes nothing and loses nothing.
// Throws Error.
void createSchema(Connection& connection);

// The tables createSchema makes, for the status report and tests.
const std::vector<std::string>& schemaTableNames();

}  // namespace nodrel::db
