// db/snapshot_copy.h: the two SQLite steps of a database snapshot, each on its own short-lived
// handle rather than a Connection, so that no pragma of the usual opener touches the source.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nodrel::db {

// Folds the write-ahead log into the main file and truncates it ("PRAGMA
// wal_checkpoint(TRUNCATE);"). Best effort: every failure is ignored.
void walCheckpointTruncate(const std::filesystem::path& source) noexcept;

struct VacuumFailure {
  bool openFailed = false;  // the source could not be opened read-only
  std::string message;      // SQLite's message, or "unknown error"
};

// Writes a compacted copy of `source` to `destination` with "VACUUM INTO" from a read-only
// handle. SQLite refuses a destination that exists and is not empty. Nothing when it succeeded.
std::optional<VacuumFailure> vacuumInto(const std::filesystem::path& source,
                                        const std::filesystem::path& destination) noexcept;

}  // namespace nodrel::db
