#include "capture/snapshot_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "db/snapshot_copy.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/user_defaults.h"

namespace nodrel::capture {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFolderKey = "nodrel.snapshots.folder";
constexpr const char* kRetentionHoursKey = "nodrel.snapshots.retentionHours";
constexpr const char* kRetentionDaysKey = "nodrel.snapshots.retentionDays";
constexpr const char* kPendingFlushKey = "nodrel.snapshots.pendingFlush";

std::tm localParts(platform::Instant instant) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(instant);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  return parts;
}

bool isWritable(const fs::path& path) { return ::access(path.c_str(), W_OK) == 0; }

// A copy is written under a temporary name that carries the writer's process id, and renamed
// when whole: a save that fails removes it, and one that was killed leaves it for the next save
// to remove once that process is gone. The index never names such a file.
constexpr std::string_view kPartialPrefix = ".partial-";
constexpr std::string_view kPartialSuffix = ".db";

fs::path partialCopyPath(const fs::path& folder) {
  return folder /
         (std::string(kPartialPrefix) + std::to_string(::getpid()) + std::string(kPartialSuffix));
}

// The copy and the rollback journal SQLite keeps beside it while writing.
void removePartialCopy(const fs::path& partial) {
  std::error_code ec;
  fs::remove(partial, ec);
  fs::remove(partial.string() + "-journal", ec);
}

// Only the leftovers of writers that are no longer running: a save running beside this one
// keeps its file.
void removeAbandonedPartialCopies(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(kPartialPrefix)) continue;
    std::string_view rest = std::string_view(name).substr(kPartialPrefix.size());
    const std::size_t digits = rest.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string_view::npos) continue;
    const std::string_view tail = rest.substr(digits);
    if (tail != kPartialSuffix && tail != std::string(kPartialSuffix) + "-journal") continue;
    const long pid = std::strtol(std::string(rest.substr(0, digits)).c_str(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code removeError;
    fs::remove(it->path(), removeError);
  }
}

// The pending-flush flag only records that a save met an unwritable folder; a defaults file
// that cannot be written must not turn a save's outcome around.
void setPendingFlush(bool pending) {
  try {
    if (pending) {
      platform::UserDefaults::set(kPendingFlushKey, true);
    } else if (platform::UserDefaults::value(kPendingFlushKey)) {
      platform::UserDefaults::remove(kPendingFlushKey);
    }
  } catch (const std::exception&) {
  }
}

// Retention deletes only snapshot files of this folder: the index is a plain file that anyone
// can edit, and a path in it must not make retention delete something else.
bool isSnapshotFileOf(const fs::path& folder, const std::string& filePath) {
  const fs::path file = fs::path(filePath).lexically_normal();
  return file.is_absolute() && file.extension() == ".db" &&
         file.parent_path() == fs::absolute(folder).lexically_normal();
}

std::int64_t windowOrDefault(const char* key, std::int64_t fallback) {
  const auto value = platform::UserDefaults::integerForKey(key);
  return value && *value >= 1 ? *value : fallback;
}

}  // namespace

SnapshotError::SnapshotError(Kind kind, const std::string& message)
    : std::runtime_error(message), kind_(kind) {}

SnapshotError SnapshotError::sourceNotFound(const std::string& path) {
  return SnapshotError(Kind::sourceNotFound, "Source database not found: " + path);
}
SnapshotError SnapshotError::vacuumFailed(const std::string& message) {
  return SnapshotError(Kind::vacuumFailed, "VACUUM INTO failed: " + message);
}
SnapshotError SnapshotError::indexWriteFailed(const std::string& description) {
  return SnapshotError(Kind::indexWriteFailed, "Could not write snapshot index: " + description);
}
SnapshotError SnapshotError::noSnapshotDirectory() {
  return SnapshotError(Kind::noSnapshotDirectory, "Backups directory is not accessible.");
}

std::string hourBucketKey(platform::Instant instant) {
  const std::tm t = localParts(instant);
  return std::to_string(t.tm_year + 1900) + "-" + std::to_string(t.tm_mon + 1) + "-" +
         std::to_string(t.tm_mday) + "-" + std::to_string(t.tm_hour);
}

std::string dayBucketKey(platform::Instant instant) {
  const std::tm t = localParts(instant);
  return std::to_string(t.tm_year + 1900) + "-" + std::to_string(t.tm_mon + 1) + "-" +
         std::to_string(t.tm_mday);
}

std::string weekBucketKey(platform::Instant instant) {
  const std::tm t = localParts(instant);
  char year[16];
  char week[8];
  std::strftime(year, sizeof year, "%G", &t);
  std::strftime(week, sizeof week, "%V", &t);
  return std::string(year) + "-W" + std::to_string(std::stoi(week));
}

std::string snapshotTimestampString(platform::Instant instant) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(instant);
  std::tm t{};
  gmtime_r(&seconds, &t);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H-%M-%S", &t);
  return buffer;
}

std::vector<SnapshotRecord> retainSnapshots(std::vector<SnapshotRecord> records,
                                            platform::Instant now,
                                            const RetentionWindows& windows) {
  sortSnapshotsNewestFirst(records);
  // Seconds as doubles: a window of any size gives a cutoff without overflow.
  const double nowSeconds = platform::secondsSince1970(now);
  const double hourCutoff = nowSeconds - static_cast<double>(windows.hours) * 3600.0;
  const double dayCutoff = nowSeconds - static_cast<double>(windows.days) * 86400.0;
  std::set<std::string> keep;
  for (const SnapshotRecord& record : records) {
    if (record.label) keep.insert(record.id);
  }
  std::set<std::string> hourKeys, dayKeys, weekKeys;
  for (const SnapshotRecord& record : records) {
    const auto time = parseSnapshotTime(record.createdAt);
    if (!time) continue;
    const double seconds = platform::secondsSince1970(*time);
    bool fresh = false;
    if (seconds > hourCutoff) {
      fresh = hourKeys.insert(hourBucketKey(*time)).second;
    } else if (seconds > dayCutoff) {
      fresh = dayKeys.insert(dayBucketKey(*time)).second;
    } else {
      fresh = weekKeys.insert(weekBucketKey(*time)).second;
    }
    if (fresh) keep.insert(record.id);
  }
  std::vector<SnapshotRecord> kept;
  for (SnapshotRecord& record : records) {
    if (keep.contains(record.id)) kept.push_back(std::move(record));
  }
  return kept;
}

SnapshotManager::SnapshotManager(fs::path database, fs::path folder, RetentionWindows windows)
    : database_(std::move(database)), folder_(std::move(folder)), windows_(windows) {}

SnapshotManager SnapshotManager::fromUserDefaults() {
  const auto folder = platform::UserDefaults::stringForKey(kFolderKey);
  return SnapshotManager(
      platform::NodrelPaths::databaseURL(),
      folder && !folder->empty() ? fs::path(*folder)
                                 : platform::NodrelPaths::baseDirectory() / "backups",
      {windowOrDefault(kRetentionHoursKey, 24), windowOrDefault(kRetentionDaysKey, 30)});
}

fs::path SnapshotManager::indexPath() const { return snapshotsFolder() / "snapshots.json"; }

void SnapshotManager::ensureSnapshotsFolder() const {
  const fs::path folder = snapshotsFolder();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw fs::filesystem_error("could not create the snapshots folder", folder, ec);
}

bool SnapshotManager::isSnapshotsFolderWritable() const {
  const fs::path folder = snapshotsFolder();
  if (isWritable(folder)) return true;
  std::error_code ec;
  if (fs::exists(folder, ec)) return false;
  const fs::path parent = fs::absolute(folder, ec).parent_path();
  return isWritable(parent);
}

SnapshotRecord SnapshotManager::createSnapshot(const std::optional<std::string>& label) const {
  ensureSnapshotsFolder();
  SnapshotRecord record = saveSnapshot(label);
  completeSnapshotSave(record);
  return record;
}

SnapshotRecord SnapshotManager::saveSnapshot(const std::optional<std::string>& label) const {
  const fs::path& source = database_;
  std::error_code ec;
  if (!fs::exists(source, ec)) throw SnapshotError::sourceNotFound(source.string());
  if (!isSnapshotsFolderWritable()) {
    setPendingFlush(true);
    throw SnapshotError::noSnapshotDirectory();
  }
  const platform::Instant now = platform::now();
  SnapshotRecord record;
  record.id = snapshotTimestampString(now);
  if (label) {
    std::string trimmed = platform::trimWhitespace(*label);
    if (!trimmed.empty()) {
      std::string suffix = trimmed;
      // A "/" would put the copy in another folder (or outside the snapshots folder).
      for (char& c : suffix) {
        if (c == ' ' || c == '/') c = '-';
      }
      record.id += "-" + suffix;
      record.label = std::move(trimmed);
    }
  }
  const fs::path folder = fs::absolute(snapshotsFolder());
  const fs::path destination = folder / (record.id + ".db");
  removeAbandonedPartialCopies(folder);
  const fs::path partial = partialCopyPath(folder);
  removePartialCopy(partial);
  db::walCheckpointTruncate(source);
  if (const auto failure = db::vacuumInto(source, partial)) {
    removePartialCopy(partial);
    throw SnapshotError::vacuumFailed(
        failure->openFailed ? "Could not open source: " + failure->message : failure->message);
  }
  // A snapshot of the same second and label is never replaced.
  if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) !=
      0) {
    const int error = errno;
    removePartialCopy(partial);
    throw SnapshotError::vacuumFailed(error == EEXIST ? "output file already exists"
                                                      : std::strerror(error));
  }
  const auto size = fs::file_size(destination, ec);
  record.sizeBytes = ec ? 0 : static_cast<std::int64_t>(size);
  record.createdAt = formatSnapshotTime(now);
  record.filePath = destination.string();
  record.sourcePath = source.string();
  return record;
}

void SnapshotManager::completeSnapshotSave(const SnapshotRecord& record) const {
  appendSnapshotRecord(record);
  pruneSnapshots(platform::now());
  setPendingFlush(false);
}

std::vector<SnapshotRecord> SnapshotManager::readSnapshotIndex() const {
  const fs::path path = indexPath();
  std::error_code ec;
  if (!fs::exists(path, ec)) return {};
  const auto text = platform::readFile(path);
  if (!text) throw SnapshotIndexError("snapshots.json cannot be read");
  std::vector<SnapshotRecord> records = decodeSnapshotIndex(*text);
  sortSnapshotsNewestFirst(records);
  return records;
}

void SnapshotManager::appendSnapshotRecord(const SnapshotRecord& record) const {
  std::vector<SnapshotRecord> records;
  try {
    records = readSnapshotIndex();
  } catch (const SnapshotIndexError&) {
    records.clear();
  }
  records.push_back(record);
  writeSnapshotIndex(records);
}

void SnapshotManager::pruneSnapshots(platform::Instant now) const {
  std::vector<SnapshotRecord> records;
  try {
    records = readSnapshotIndex();
  } catch (const SnapshotIndexError&) {
    return;
  }
  if (records.empty()) return;
  std::vector<SnapshotRecord> kept = retainSnapshots(records, now, retentionWindows());
  std::set<std::string> keptIds, keptFiles;
  for (const SnapshotRecord& record : kept) {
    keptIds.insert(record.id);
    keptFiles.insert(fs::path(record.filePath).lexically_normal().string());
  }
  const fs::path folder = snapshotsFolder();
  for (const SnapshotRecord& record : records) {
    if (keptIds.contains(record.id)) continue;
    if (!isSnapshotFileOf(folder, record.filePath)) continue;
    if (keptFiles.contains(fs::path(record.filePath).lexically_normal().string())) continue;
    std::error_code ec;
    fs::remove(record.filePath, ec);
  }
  writeSnapshotIndex(kept);
}

void SnapshotManager::writeSnapshotIndex(const std::vector<SnapshotRecord>& records) const {
  std::string bytes;
  try {
    bytes = encodeSnapshotIndex(records);
  } catch (const std::exception& e) {
    throw SnapshotError::indexWriteFailed(e.what());
  }
  const fs::path path = indexPath();
  try {
    platform::atomicWriteFile(path, bytes, "snapshots.json.tmp");
  } catch (const platform::FileError&) {
    platform::atomicWriteFile(path, bytes);
  }
}

}  // namespace nodrel::capture
