#include "db/error.h"

#include <sqlite3.h>

namespace nodrel::db {

Error::Error(int code, const std::string& message)
    : std::runtime_error("SQLite error " + std::to_string(code) + ": " + message),
      code_(code),
      message_(message) {}

bool Error::isBusyOrLocked() const noexcept {
  return primaryCode() == SQLITE_BUSY || primaryCode() == SQLITE_LOCKED;
}

}  // namespace nodrel::db
