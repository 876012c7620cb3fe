// capture/snapshot_manager.h: point-in-time copies of nodrel.db in the snapshots folder, listed
// in `snapshots.json` and thinned after each save: labelled snapshots stay for ever; of the
// others the newest of each hour, then day, then week survives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/snapshot_record.h"
#include "platform/time.h"

namespace nodrel::capture {

class SnapshotError : public std::runtime_error {
 public:
  enum class Kind { sourceNotFound, vacuumFailed, indexWriteFailed, noSnapshotDirectory };

  static SnapshotError sourceNotFound(const std::string& path);
  static SnapshotError vacuumFailed(const std::string& message);
  static SnapshotError indexWriteFailed(const std::string& description);
  static SnapshotError noSnapshotDirectory();

  Kind kind() const noexcept { return kind_; }

 private:
  SnapshotError(Kind kind, const std::string& message);
  Kind kind_;
};

struct RetentionWindows {
  std::int64_t hours = 24;
  std::int64_t days = 30;
};

// Keys of the retention buckets in the local time zone, Gregorian calendar: "2026-3-7-9",
// "2026-3-7" and "2026-W10" (ISO 8601 week and its year).
std::string hourBucketKey(platform::Instant instant);
std::string dayBucketKey(platform::Instant instant);
std::string weekBucketKey(platform::Instant instant);
// "yyyy-MM-dd'T'HH-mm-ss" in UTC: the file stem of a snapshot.
std::string snapshotTimestampString(platform::Instant instant);

// The records that retention keeps, newest first: every labelled one, and the newest of each
// bucket (labelled ones fill their bucket too). A record whose time does not parse gets no
// bucket.
std::vector<SnapshotRecord> retainSnapshots(std::vector<SnapshotRecord> records,
                                            platform::Instant now, const RetentionWindows& windows);

class SnapshotManager {
 public:
  // Copies of `database` in `folder`, thinned with `windows`.
  SnapshotManager(std::filesystem::path database, std::filesystem::path folder,
                  RetentionWindows windows);
  // As the user's settings say: the data directory's nodrel.db; "nodrel.snapshots.folder" when
  // set, else the data directory's "backups"; "nodrel.snapshots.retentionHours" and
  // "nodrel.snapshots.retentionDays" when positive integers, else 24 and 30.
  static SnapshotManager fromUserDefaults();

  const std::filesystem::path& snapshotsFolder() const { return folder_; }
  std::filesystem::path indexPath() const;
  // Throws std::filesystem::filesystem_error.
  void ensureSnapshotsFolder() const;
  bool isSnapshotsFolderWritable() const;

  // Folder, copy, index, retention. Throws SnapshotError, or the file system's error; a copy
  // made before a later step failed stays on disk.
  SnapshotRecord createSnapshot(const std::optional<std::string>& label) const;
  SnapshotRecord saveSnapshot(const std::optional<std::string>& label) const;
  void completeSnapshotSave(const SnapshotRecord& record) const;
  // An unreadable index is started afresh (its snapshot files stay on disk).
  void appendSnapshotRecord(const SnapshotRecord& record) const;
  // Does nothing when the index is missing, unreadable or empty.
  void pruneSnapshots(platform::Instant now) const;
  void writeSnapshotIndex(const std::vector<SnapshotRecord>& records) const;
  // The index newest first; an empty list when the file does not exist. Throws
  // SnapshotIndexError when it cannot be read or decoded.
  std::vector<SnapshotRecord> readSnapshotIndex() const;
  const RetentionWindows& retentionWindows() const { return windows_; }

 private:
  std::filesystem::path database_;
  std::filesystem::path folder_;
  RetentionWindows windows_;
};

}  // namespace nodrel::capture
