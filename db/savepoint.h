// db/savepoint.h: all-or-nothing writes. The constructor begins a savepoint, commit() releases
// it, and the destructor rolls back whatever was not committed (it never throws).
#pragma once

#include <string>

#include "db/connection.h"

namespace nodrel::db {

class Savepoint {
 public:
  Savepoint(Connection& connection, std::string name = "nodrel_sp");  // throws Error
  Savepoint(const Savepoint&) = delete;
  Savepoint& operator=(const Savepoint&) = delete;
  ~Savepoint();

  void commit();  // throws Error; after a failure the destructor still rolls back

 private:
  Connection& connection_;
  std::string name_;
  bool done_ = false;
};

}  // namespace nodrel::db
