// db/savepoint.h: all-or-nothing writes. The constructor begins a savepoint, commit() releases
// it, and the destructor rolls back whatever was not committed (it never throws).
#pragma once

#include <string>

#include "db/connection.h"

namespace nodrel::db {

class Savepoint {
 public:
  // Outside a transaction this begins one as a writer (BEGIN IMMEDIATE): the write lock is
  // taken before the first read, so meeting another program's writer waits out the busy timeout
  // instead of failing at once, as a read transaction that later upgrades to a write would.
  // Inside a transaction it is a nested savepoint. On a read-only connection it begins a
  // reader's transaction. Throws Error, for instance when the lock stays taken past the timeout.
  Savepoint(Connection& connection, std::string name = "nodrel_sp");
  Savepoint(const Savepoint&) = delete;
  Savepoint& operator=(const Savepoint&) = delete;
  ~Savepoint();

  void commit();  // throws Error; after a failure the destructor still rolls back

 private:
  Connection& connection_;
  std::string name_;
  bool ownsTransaction_ = false;  // began the transaction, so commit and rollback end it
  bool done_ = false;
};

}  // namespace nodrel::db
