#include "db/snapshot_copy.h"

#include <memory>
#include <string_view>

#include <sqlite3.h>

namespace nodrel::db {
namespace {

constexpr std::string_view kCheckpointTruncate = "PRAGMA wal_checkpoint(TRUNCATE);";
// The destination is bound rather than quoted into the text, so no file name can change the
// statement.
constexpr std::string_view kVacuumInto = "VACUUM INTO ?;";

struct CloseHandle {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using Handle = std::unique_ptr<sqlite3, CloseHandle>;

struct FinalizeStatement {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// sqlite3_open_v2 hands back a handle (holding the error) even when the open fails.
Handle openHandle(const std::filesystem::path& path, int flags, int& rc) {
  sqlite3* raw = nullptr;
  rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  return Handle(raw);
}

std::string messageOf(sqlite3* db) {
  const char* text = db ? sqlite3_errmsg(db) : nullptr;
  return text && *text ? std::string(text) : std::string("unknown error");
}

}  // namespace

void walCheckpointTruncate(const std::filesystem::path& source) noexcept {
  int rc = SQLITE_OK;
  Handle db = openHandle(source, SQLITE_OPEN_READWRITE, rc);
  if (rc != SQLITE_OK) return;
  sqlite3_exec(db.get(), std::string(kCheckpointTruncate).c_str(), nullptr, nullptr, nullptr);
}

std::optional<VacuumFailure> vacuumInto(const std::filesystem::path& source,
                                        const std::filesystem::path& destination) noexcept {
  try {
    int rc = SQLITE_OK;
    Handle db = openHandle(source, SQLITE_OPEN_READONLY, rc);
    if (rc != SQLITE_OK) return VacuumFailure{true, messageOf(db.get())};
    sqlite3_stmt* raw = nullptr;
    rc = sqlite3_prepare_v2(db.get(), kVacuumInto.data(), static_cast<int>(kVacuumInto.size()),
                            &raw, nullptr);
    StatementHandle statement(raw);
    if (rc != SQLITE_OK) return VacuumFailure{false, messageOf(db.get())};
    const std::string target = destination.string();
    rc = sqlite3_bind_text(statement.get(), 1, target.data(), static_cast<int>(target.size()),
                           SQLITE_TRANSIENT);
    if (rc == SQLITE_OK) rc = sqlite3_step(statement.get());
    if (rc != SQLITE_DONE && rc != SQLITE_OK) return VacuumFailure{false, messageOf(db.get())};
    return std::nullopt;
  } catch (...) {
    return VacuumFailure{false, "unknown error"};
  }
}

}  // namespace nodrel::db
