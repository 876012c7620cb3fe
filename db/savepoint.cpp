#include "db/savepoint.h"

namespace nodrel::db {

Savepoint::Savepoint(Connection& connection, std::string name)
    : connection_(connection), name_(std::move(name)) {
  connection_.exec("SAVEPOINT " + name_ + ";");
}

Savepoint::~Savepoint() {
  if (done_) return;
  try {
    connection_.exec("ROLLBACK TO " + name_ + ";");
    connection_.exec("RELEASE " + name_ + ";");
  } catch (...) {
    // A failed rollback leaves SQLite to undo the transaction when the connection closes.
  }
}

void Savepoint::commit() {
  connection_.exec("RELEASE " + name_ + ";");
  done_ = true;
}

}  // namespace nodrel::db
