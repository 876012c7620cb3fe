// codeintel/ingestion_run_settings.h: connection settings that an ingestion run changes for
// its length.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db/connection.h"
#include "db/error.h"

namespace nodrel::codeintel {

// Two settings of the caller's connection change for the length of a run and come back when
// it ends, however it ends: a larger page cache, since a run touches the same index pages over
// and over and SQLite's default of about 2 MB spills and rereads them, and temporary storage in
// memory, since every file's savepoint otherwise journals each page it touches to a temporary
// file. A setting that cannot be changed leaves the run slower, not wrong.
class RunSettings {
 public:
  explicit RunSettings(db::Connection& db) : db_(db) {
    cacheSize_ = change("cache_size", [](std::int64_t old) {
      return old < 0 && -old >= kRunCacheKibibytes
                 ? std::nullopt
                 : std::optional<std::int64_t>(-kRunCacheKibibytes);
    });
    tempStore_ = change("temp_store", [](std::int64_t old) {
      return old == kTempStoreMemory ? std::nullopt : std::optional<std::int64_t>(kTempStoreMemory);
    });
  }
  ~RunSettings() {
    restore("temp_store", tempStore_);
    restore("cache_size", cacheSize_);
  }
  RunSettings(const RunSettings&) = delete;
  RunSettings& operator=(const RunSettings&) = delete;

 private:
  static constexpr std::int64_t kRunCacheKibibytes = 64 * 1024;
  static constexpr std::int64_t kTempStoreMemory = 2;

  // Sets the pragma to what `wanted` makes of its current value; returns the value to restore.
  template <class Wanted>
  std::optional<std::int64_t> change(const std::string& pragma, Wanted wanted) {
    try {
      auto value = db_.scalar("PRAGMA " + pragma + ";");
      auto old = value ? db::integerOf(*value) : std::nullopt;
      if (!old) return std::nullopt;
      auto next = wanted(*old);
      if (!next) return std::nullopt;
      db_.exec("PRAGMA " + pragma + " = " + std::to_string(*next) + ";");
      return old;
    } catch (const db::Error&) {
      return std::nullopt;
    }
  }
  void restore(const std::string& pragma, const std::optional<std::int64_t>& old) noexcept {
    if (!old) return;
    try {
      db_.exec("PRAGMA " + pragma + " = " + std::to_string(*old) + ";");
    } catch (...) {
      // The run's setting stays; it costs memory, not correctness.
    }
  }

  db::Connection& db_;
  std::optional<std::int64_t> cacheSize_;
  std::optional<std::int64_t> tempStore_;
};

}  // namespace nodrel::codeintel
