#include "capture/snapshot_record.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

namespace nodrel::capture {
namespace {

using nlohmann::json;

const json& required(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) {
    throw SnapshotIndexError(std::string("snapshot record lacks \"") + key + "\"");
  }
  return *it;
}

std::string requiredText(const json& object, const char* key) {
  const json& value = required(object, key);
  if (!value.is_string()) {
    throw SnapshotIndexError(std::string("snapshot record \"") + key + "\" is not text");
  }
  return value.get<std::string>();
}

// Reads `count` decimal digits at `pos`; nothing when any is not a digit.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool charAt(std::string_view text, std::size_t pos, char c) {
  return pos < text.size() && text[pos] == c;
}

}  // namespace

json snapshotRecordJSON(const SnapshotRecord& record) {
  json object = {{"id", record.id},
                 {"createdAt", record.createdAt},
                 {"sizeBytes", record.sizeBytes},
                 {"filePath", record.filePath},
                 {"sourcePath", record.sourcePath}};
  if (record.label) object["label"] = *record.label;
  return object;
}

SnapshotRecord decodeSnapshotRecord(const json& value) {
  if (!value.is_object()) throw SnapshotIndexError("snapshot record is not an object");
  SnapshotRecord record;
  record.id = requiredText(value, "id");
  record.createdAt = requiredText(value, "createdAt");
  const json& size = required(value, "sizeBytes");
  if (size.is_number_integer() && !size.is_number_unsigned()) {
    record.sizeBytes = size.get<std::int64_t>();
  } else if (size.is_number_unsigned() &&
             size.get<std::uint64_t>() <=
                 static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    record.sizeBytes = static_cast<std::int64_t>(size.get<std::uint64_t>());
  } else {
    throw SnapshotIndexError("snapshot record \"sizeBytes\" is not a 64-bit integer");
  }
  record.filePath = requiredText(value, "filePath");
  record.sourcePath = requiredText(value, "sourcePath");
  if (const auto label = value.find("label"); label != value.end() && !label->is_null()) {
    if (!label->is_string()) throw SnapshotIndexError("snapshot record \"label\" is not text");
    record.label = label->get<std::string>();
  }
  return record;
}

std::vector<SnapshotRecord> decodeSnapshotIndex(std::string_view text) {
  const json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) throw SnapshotIndexError("snapshots.json is not valid JSON");
  if (!parsed.is_array()) throw SnapshotIndexError("snapshots.json is not a list of snapshots");
  std::vector<SnapshotRecord> records;
  records.reserve(parsed.size());
  for (const json& element : parsed) records.push_back(decodeSnapshotRecord(element));
  return records;
}

std::string encodeSnapshotIndex(const std::vector<SnapshotRecord>& records) {
  json array = json::array();
  for (const SnapshotRecord& record : records) array.push_back(snapshotRecordJSON(record));
  return array.dump(2);
}

void sortSnapshotsNewestFirst(std::vector<SnapshotRecord>& records) {
  std::stable_sort(
      records.begin(), records.end(),
      [](const SnapshotRecord& a, const SnapshotRecord& b) { return a.createdAt > b.createdAt; });
}

std::string formatSnapshotTime(platform::Instant instant) {
  using namespace std::chrono;
  const auto day = floor<days>(instant);
  const year_month_day date(day);
  const hh_mm_ss<milliseconds> time(instant - day);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return buffer;
}

std::optional<platform::Instant> parseSnapshotTime(std::string_view text) {
  using namespace std::chrono;
  const auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s || !charAt(text, 4, '-') || !charAt(text, 7, '-') ||
      !charAt(text, 10, 'T') || !charAt(text, 13, ':') || !charAt(text, 16, ':') ||
      !charAt(text, 19, '.')) {
    return std::nullopt;
  }
  std::size_t pos = 20;
  std::int64_t fractionMs = 0;
  int fractionDigits = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (fractionDigits < 3) fractionMs = fractionMs * 10 + (text[pos] - '0');
    ++fractionDigits;
    ++pos;
  }
  if (fractionDigits == 0 || fractionDigits > 9) return std::nullopt;
  for (int i = fractionDigits; i < 3; ++i) fractionMs *= 10;
  int offsetMinutes = 0;
  if (charAt(text, pos, 'Z') && pos + 1 == text.size()) {
    // UTC
  } else if ((charAt(text, pos, '+') || charAt(text, pos, '-')) && pos + 6 == text.size() &&
             charAt(text, pos + 3, ':')) {
    const auto oh = digits(text, pos + 1, 2), om = digits(text, pos + 4, 2);
    if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    offsetMinutes = (*oh * 60 + *om) * (text[pos] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  const year_month_day date{year(*y), month(static_cast<unsigned>(*mo)),
                            day(static_cast<unsigned>(*d))};
  if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  const auto instant = time_point_cast<milliseconds>(sys_days(date)) + hours(*h) + minutes(*mi) +
                       seconds(*s) + milliseconds(fractionMs) - minutes(offsetMinutes);
  return platform::Instant(instant);
}

}  // namespace nodrel::capture
