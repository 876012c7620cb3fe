// db/schema.h: the companion schema, every table, column and index that the two programs'
// statements read or write. `nodrel-app init` and the tests create the database with it; the
// server and the writing commands complete a database that lacks some of its tables.
#pragma once

#include "db/connection.h"

namespace nodrel::db {

// Creates whatever is missing; on an existing database it changes nothing and loses nothing.
// Throws Error.
void createSchema(Connection& connection);

// createSchema when any of its tables is missing, as a writer from the start so that two
// programs meeting a fresh file wait for each other on the busy timeout; a complete database
// costs one read of the schema and is left as it is. Throws Error.
void ensureSchema(Connection& connection);

// The server's session_context table, made in the same text as createSchema makes it; nothing
// when it is there. Throws Error.
void createSessionContextTable(Connection& connection);

// The `surface` columns the server adds to corrections and standing_instructions, which the
// schema makes without them; a column already there is left as it is. Never throws.
void addSurfaceColumns(Connection& connection);

// The tables createSchema makes, for the status report and tests.
const std::vector<std::string>& schemaTableNames();

}  // namespace nodrel::db
