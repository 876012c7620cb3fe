#include "capture/snapshot_record.h"

#include <gtest/gtest.h>

namespace nodrel::capture {
namespace {

using namespace std::chrono;

platform::Instant at(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
  return platform::Instant(time_point_cast<milliseconds>(sys_days(year(y) / mo / d)) + hours(h) +
                           minutes(mi) + seconds(s) + milliseconds(ms));
}

TEST(SnapshotTime, FormatsAndParsesTheIndexForm) {
  EXPECT_EQ(formatSnapshotTime(at(2026, 12, 9, 9, 1, 2, 345)), "2026-12-09T09:01:02.345Z");
  struct Case {
    std::string text;
    std::optional<platform::Instant> want;
  };
  const Case cases[] = {
      {"2026-12-09T09:01:02.345Z", at(2026, 12, 9, 9, 1, 2, 345)},
      {"2026-12-09T09:01:02.3Z", at(2026, 12, 9, 9, 1, 2, 300)},
      {"2026-12-09T09:01:02.123456789Z", at(2026, 12, 9, 9, 1, 2, 123)},
      {"2026-12-09T10:01:02.000+01:00", at(2026, 12, 9, 9, 1, 2)},
      {"2026-12-09T09:01:02Z", std::nullopt},  // no fractional seconds
      {"2026-12-09T09:01:02.345", std::nullopt},
      {"2026-12-09T09:01:02.345+0000", std::nullopt},
      {"2026-02-30T09:01:02.345Z", std::nullopt},
      {"2026-12-09T24:01:02.345Z", std::nullopt},
      {"2026-12-09T09:01:02.345Z ", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseSnapshotTime(c.text), c.want);
  }
}

TEST(SnapshotIndex, DecodesRecordsAndRefusesWhatIsNotOne) {
  const auto records = decodeSnapshotIndex(R"([
    {"id": "a", "createdAt": "2026-01-01T00:00:00.000Z", "sizeBytes": 10, "filePath": "/f/a.db",
     "sourcePath": "/s", "label": "mine", "extra": 1},
    {"id": "b", "createdAt": "2026-01-02T00:00:00.000Z", "sizeBytes": 0, "filePath": "/f/b.db",
     "sourcePath": "/s"}])");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].label, "mine");
  EXPECT_EQ(records[1].label, std::nullopt);
  EXPECT_EQ(decodeSnapshotIndex(encodeSnapshotIndex(records)), records);
  EXPECT_EQ(encodeSnapshotIndex({records[1]}).find("label"), std::string::npos);

  for (
      const char* text :
      {"", "{}", "[1]", R"([{"id": "a"}])",
       R"([{"id": "a", "createdAt": "x", "sizeBytes": "10", "filePath": "f", "sourcePath": "s"}])",
       R"([{"id": "a", "createdAt": "x", "sizeBytes": 1.5, "filePath": "f", "sourcePath": "s"}])"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(decodeSnapshotIndex(text), SnapshotIndexError);
  }
}

TEST(SnapshotIndex, SortsNewestFirstKeepingTiesInOrder) {
  std::vector<SnapshotRecord> records;
  for (const auto& [id, time] :
       {std::pair{"old", "2026-01-01T00:00:00.000Z"}, std::pair{"tie1", "2026-01-02T00:00:00.000Z"},
        std::pair{"tie2", "2026-01-02T00:00:00.000Z"},
        std::pair{"new", "2026-01-03T00:00:00.000Z"}}) {
    SnapshotRecord r;
    r.id = id;
    r.createdAt = time;
    records.push_back(r);
  }
  sortSnapshotsNewestFirst(records);
  std::vector<std::string> ids;
  for (const auto& r : records) ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"new", "tie1", "tie2", "old"}));
}

}  // namespace
}  // namespace nodrel::capture
