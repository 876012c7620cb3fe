#include "db/savepoint.h"

#include <sqlite3.h>

#include "db/error.h"

namespace nodrel::db {

Savepoint::Savepoint(Connection& connection, std::string name)
    : connection_(connection), name_(std::move(name)) {
  if (!connection_.inTransaction()) {
    try {
      connection_.exec("BEGIN IMMEDIATE;");
      ownsTransaction_ = true;
      return;
    } catch (const Error& error) {
      // A query-only or read-only connection can take no write lock; its savepoint only groups
      // reads, which a deferred one does.
      if (error.primaryCode() != SQLITE_READONLY) throw;
    }
  }
  connection_.exec("SAVEPOINT " + name_ + ";");
}

Savepoint::~Savepoint() {
  if (done_) return;
  try {
    if (ownsTransaction_) {
      connection_.exec("ROLLBACK;");
    } else {
      connection_.exec("ROLLBACK TO " + name_ + ";");
      connection_.exec("RELEASE " + name_ + ";");
    }
  } catch (...) {
    // A failed rollback leaves SQLite to undo the transaction when the connection closes.
  }
}

void Savepoint::commit() {
  connection_.exec(ownsTransaction_ ? std::string("COMMIT;") : "RELEASE " + name_ + ";");
  done_ = true;
}

}  // namespace nodrel::db
