#include "capture/snapshot_manager.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/user_defaults.h"
#include "tests/support/temp_home.h"

namespace nodrel::capture {
namespace {

using namespace std::chrono;

platform::Instant at(int y, unsigned mo, unsigned d, int h, int mi, int s = 0) {
  return platform::Instant(time_point_cast<milliseconds>(sys_days(year(y) / mo / d)) + hours(h) +
                           minutes(mi) + seconds(s));
}

// Bucket keys follow the local time zone; these tests pin it to UTC.
class UtcZone : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

SnapshotRecord rawRecord(const std::string& id, const std::string& createdAt,
                         std::optional<std::string> label = std::nullopt) {
  SnapshotRecord r;
  r.id = id;
  r.createdAt = createdAt;
  r.label = std::move(label);
  return r;
}

SnapshotRecord record(const std::string& id, platform::Instant time,
                      std::optional<std::string> label = std::nullopt) {
  return rawRecord(id, formatSnapshotTime(time), std::move(label));
}

std::vector<std::string> ids(const std::vector<SnapshotRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(r.id);
  return out;
}

using Retention = UtcZone;

TEST_F(Retention, BucketKeysAndFileStems) {
  const auto t = at(2026, 3, 7, 9, 5, 4);
  EXPECT_EQ(hourBucketKey(t), "2026-3-7-9");
  EXPECT_EQ(dayBucketKey(t), "2026-3-7");
  EXPECT_EQ(weekBucketKey(t), "2026-W10");
  EXPECT_EQ(weekBucketKey(at(2027, 1, 1, 12, 0)), "2026-W53");  // the week's own year
  EXPECT_EQ(snapshotTimestampString(at(2026, 12, 9, 9, 1, 2)), "2026-12-09T09-01-02");
}

TEST_F(Retention, KeepsTheNewestOfEachHourThenDayThenWeek) {
  const auto now = at(2026, 3, 20, 12, 0);
  std::vector<SnapshotRecord> records;
  // Every ten minutes for two hours.
  for (int m = 0; m < 120; m += 10) {
    records.push_back(record("h" + std::to_string(m), now - minutes(120) + minutes(m)));
  }
  records.push_back(record("d25", now - hours(25)));
  records.push_back(record("d25b", now - hours(25) - minutes(5)));  // same day, older
  records.push_back(record("w31", now - days(31)));
  records.push_back(record("w31b", now - days(31) - hours(1)));  // same week, older
  const auto kept = retainSnapshots(records, now, {});
  EXPECT_EQ(ids(kept), (std::vector<std::string>{"h110", "h50", "d25", "w31"}));
}

TEST_F(Retention, LabelsAreKeptAndFillTheirBucket) {
  const auto now = at(2026, 3, 20, 12, 30);
  std::vector<SnapshotRecord> records = {
      record("labelled", now - minutes(5), "before refactor"),
      record("older", now - minutes(10)),
      record("labelledOld", now - minutes(20), "kept anyway"),
      // Without milliseconds the time does not parse: no bucket, deleted unless labelled.
      rawRecord("raw", "2026-03-20T12:29:00Z"),
      rawRecord("rawLabelled", "2026-03-20T12:29:00Z", "x"),
  };
  const auto kept = retainSnapshots(records, now, {});
  // Text order puts the second-less times first.
  EXPECT_EQ(ids(kept), (std::vector<std::string>{"rawLabelled", "labelled", "labelledOld"}));
}

TEST_F(Retention, WindowsComeFromTheDefaultsWithFallbacks) {
  testing::TempHome home;
  struct Case {
    std::optional<nlohmann::json> hours;
    std::int64_t want;
  };
  const Case cases[] = {{std::nullopt, 24}, {0, 24},  {-5, 24},
                        {"48", 24},         {48, 48}, {INT64_MAX, INT64_MAX}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    if (c.hours) {
      platform::UserDefaults::set("nodrel.snapshots.retentionHours", *c.hours);
    } else {
      platform::UserDefaults::remove("nodrel.snapshots.retentionHours");
    }
    const auto windows = SnapshotManager::fromUserDefaults().retentionWindows();
    EXPECT_EQ(windows.hours, c.want);
    EXPECT_EQ(windows.days, 30);
    // A window of any size is usable.
    const auto now = at(2026, 3, 20, 12, 0);
    EXPECT_EQ(retainSnapshots({record("a", now - days(400))}, now, windows).size(), 1u);
  }
}

TEST(SnapshotManagerPaths, EachManagerKeepsItsOwnFolderAndIndex) {
  testing::TempHome home;
  const auto source = home.path() / "source.db";
  db::Connection::open(source, {.create = true}).exec("CREATE TABLE t (x)");
  const SnapshotManager first(source, home.path() / "first", {});
  const SnapshotManager second(source, home.path() / "second", {});

  const SnapshotRecord record = first.createSnapshot(std::string("one"));
  EXPECT_EQ(record.sourcePath, source.string());
  EXPECT_EQ(std::filesystem::path(record.filePath).parent_path(),
            std::filesystem::absolute(home.path() / "first"));
  EXPECT_EQ(first.readSnapshotIndex().size(), 1u);
  EXPECT_TRUE(second.readSnapshotIndex().empty());
  // The data directory's own folder was never touched.
  EXPECT_FALSE(std::filesystem::exists(home.dataDirectory() / "backups"));
}

}  // namespace
}  // namespace nodrel::capture
