// capture/snapshot_record.h: one entry of the snapshot index `snapshots.json`, its JSON form,
// and the ISO 8601 times (UTC, milliseconds, "Z") that name when it was taken.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/time.h"

namespace nodrel::capture {

struct SnapshotRecord {
  std::string id;  // the file stem, unique because a snapshot never overwrites a file
  std::string createdAt;
  std::optional<std::string> label;  // the key is left out when there is none
  std::int64_t sizeBytes = 0;
  std::string filePath;
  std::string sourcePath;
  friend bool operator==(const SnapshotRecord&, const SnapshotRecord&) = default;
};

class SnapshotIndexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

nlohmann::json snapshotRecordJSON(const SnapshotRecord& record);
// Every key but `label` is required with its type; extra keys are ignored. Throws
// SnapshotIndexError.
SnapshotRecord decodeSnapshotRecord(const nlohmann::json& value);
// The index text as a list of records, in file order. Throws SnapshotIndexError.
std::vector<SnapshotRecord> decodeSnapshotIndex(std::string_view text);
// Pretty-printed with sorted keys. Throws nlohmann::json::exception for text that is not UTF-8.
std::string encodeSnapshotIndex(const std::vector<SnapshotRecord>& records);

// By `createdAt` compared as text, greatest first; equal times keep their order.
void sortSnapshotsNewestFirst(std::vector<SnapshotRecord>& records);

// ISO 8601 internet date-time with fractional seconds: "2026-12-09T09:01:02.345Z".
std::string formatSnapshotTime(platform::Instant instant);
// Accepts that form with 1 to 9 fraction digits and "Z" or a "+hh:mm" offset; a time without
// fractional seconds gives nothing.
std::optional<platform::Instant> parseSnapshotTime(std::string_view text);

}  // namespace nodrel::capture
