#include "codeintel/co_changes.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "db/error.h"
#include "db/value.h"
#include "platform/text.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kUpsertCoChange =
    "    INSERT INTO co_changes (project, file_a, file_b, count, last_seen)\n"
    "    VALUES (?, ?, ?, 1, ?)\n"
    "    ON CONFLICT(file_a, file_b, project) DO UPDATE\n"
    "    SET count = count + 1, last_seen = excluded.last_seen";

constexpr std::string_view kDeleteProjectCoChanges = "DELETE FROM co_changes WHERE project = ?";

// The newest commit that touched each project's folder when its history was last mined, and
// the commit HEAD named when that was last found true. Made on first use, like the other tables
// an ingestion may be the first to need; it lets a run over an unchanged history keep the pairs
// it would only count again, and tell so without starting git while HEAD stays put.
constexpr std::string_view kCreateMinings = R"sql(CREATE TABLE IF NOT EXISTS co_change_minings (
  project TEXT PRIMARY KEY NOT NULL,
  last_commit TEXT NOT NULL,
  mined_at TEXT NOT NULL,
  head_commit TEXT
))sql";

// Tables made before HEAD was kept lack its column.
constexpr std::string_view kHasHeadColumn =
    R"sql(SELECT 1 FROM pragma_table_info('co_change_minings') WHERE name = 'head_commit')sql";
constexpr std::string_view kAddHeadColumn =
    R"sql(ALTER TABLE co_change_minings ADD COLUMN head_commit TEXT)sql";

constexpr std::string_view kSelectLastMining =
    R"sql(SELECT last_commit, head_commit FROM co_change_minings WHERE project = ?)sql";

constexpr std::string_view kUpsertMining =
    R"sql(INSERT INTO co_change_minings (project, last_commit, mined_at, head_commit)
VALUES (?, ?, ?, ?)
ON CONFLICT(project) DO UPDATE SET last_commit = excluded.last_commit,
  mined_at = excluded.mined_at, head_commit = excluded.head_commit)sql";

constexpr std::string_view kUpdateMiningHead =
    R"sql(UPDATE co_change_minings SET head_commit = ? WHERE project = ?)sql";

constexpr std::string_view kSelectCoChangePartners = R"sql(SELECT
    CASE WHEN file_a = ? THEN file_b ELSE file_a END AS partner, count
FROM co_changes
WHERE project = ?
  AND (file_a = ? OR file_b = ?))sql";

constexpr std::string_view kSelectCoChangeTotal = R"sql(SELECT SUM(count)
FROM co_changes
WHERE project = ? AND (file_a = ? OR file_b = ?))sql";

// Each pair once, summed for both its files here: grouping by each side in SQL walks the
// table twice. The index finds the project's pairs with one table lookup each; while the table
// holds no other project's pairs, one pass over the table reads each page once instead.
constexpr std::string_view kSelectCoChangePairs =
    "SELECT file_a, file_b, count FROM co_changes WHERE project = ?";
constexpr std::string_view kScanCoChangePairs =
    "SELECT file_a, file_b, count FROM co_changes NOT INDEXED WHERE project = ?";
constexpr std::string_view kHasOtherProjectPairs =
    R"sql(SELECT EXISTS (SELECT 1 FROM co_changes WHERE project < ?1)
    OR EXISTS (SELECT 1 FROM co_changes WHERE project > ?1)
    OR EXISTS (SELECT 1 FROM co_changes WHERE project IS NULL))sql";

// Ascending by Unicode scalar value after canonical composition, stable; for UTF-8 text the
// byte order of the composed form is that order.
void sortStringsAscending(std::vector<std::string>& strings) {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(strings.size());
  for (auto& s : strings) keyed.emplace_back(platform::nfc(s), std::move(s));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) strings[i] = std::move(keyed[i].second);
}

}  // namespace

void recordCoChanges(const std::vector<CommitFileList>& commits, db::Connection& db,
                     const std::string& project, const std::string& now) {
  db.prepare(kDeleteProjectCoChanges).bindText(1, project).run();
  db::Statement upsert = db.prepare(kUpsertCoChange);
  for (const CommitFileList& commit : commits) {
    if (commit.size() < 2 || commit.size() > kMaxFilesPerCommit) continue;
    CommitFileList files = commit;
    sortStringsAscending(files);
    for (std::size_t i = 0; i < files.size(); ++i) {
      for (std::size_t j = i + 1; j < files.size(); ++j) {
        upsert.reset();
        upsert.bindText(1, project).bindText(2, files[i]).bindText(3, files[j]).bindText(4, now);
        upsert.run();
      }
    }
  }
}

std::optional<Mining> lastMining(db::Connection& db, const std::string& project) {
  std::vector<db::Row> rows;
  try {
    rows = db.query(kSelectLastMining, {db::text(project)});
  } catch (const db::Error& error) {
    // A store that never mined, or mined before HEAD was kept, has not the table or its column
    // yet; every later run finds them and reads at once.
    if (error.isBusyOrLocked()) throw;
    db.exec(kCreateMinings);
    if (!db.scalar(kHasHeadColumn)) db.exec(kAddHeadColumn);
    rows = db.query(kSelectLastMining, {db::text(project)});
  }
  if (rows.empty()) return std::nullopt;
  const std::string* commit = db::textOf(rows[0][0]);
  if (!commit) return std::nullopt;
  Mining mining{*commit, std::nullopt};
  if (const std::string* head = db::textOf(rows[0][1])) mining.headCommit = *head;
  return mining;
}

void recordMinedCommit(db::Connection& db, const std::string& project, const std::string& commit,
                       const std::optional<std::string>& head, const std::string& now) {
  db.run(kUpsertMining,
         {db::text(project), db::text(commit), db::text(now), db::optionalText(head)});
}

void recordMiningHead(db::Connection& db, const std::string& project, const std::string& head) {
  db.run(kUpdateMiningHead, {db::text(head), db::text(project)});
}

std::vector<CoChangePartner> fetchCoChangePartners(const std::string& project,
                                                   const std::vector<std::string>& files,
                                                   db::Connection& db) {
  std::vector<CoChangePartner> partners;
  auto stmt = db.prepare(kSelectCoChangePartners);
  for (const auto& file : files) {
    stmt.reset();
    stmt.bindText(1, file).bindText(2, project).bindText(3, file).bindText(4, file);
    while (stmt.step()) {
      auto value = stmt.column(0);
      auto text = db::textOf(value);
      if (!text) continue;
      partners.push_back({*text, db::integerOf(stmt.column(1))});
    }
  }
  return partners;
}

std::int64_t fetchCoChangeTotal(const std::string& project, const std::string& file,
                                db::Connection& db) {
  auto value = db.scalar(kSelectCoChangeTotal, {db::text(project), db::text(file), db::text(file)});
  return value ? db::integerOf(*value).value_or(0) : 0;
}

TextViewMap<double> fetchCoChangeTotals(const std::string& project, db::Connection& db) {
  TextViewMap<double> totals;
  const auto others = db.scalar(kHasOtherProjectPairs, {db::text(project)});
  const bool alone = others && db::integerOf(*others) == 0;
  auto stmt = db.prepare(alone ? kScanCoChangePairs : kSelectCoChangePairs);
  stmt.bindText(1, project);
  while (stmt.step()) {
    // A pair without a count adds nothing, as SQL's SUM passes over NULL.
    std::optional<double> count;
    if (auto integer = stmt.columnInteger(2)) {
      count = static_cast<double>(*integer);
    } else {
      count = db::realOf(stmt.column(2));
    }
    if (!count) continue;
    for (int side = 0; side < 2; ++side) {
      if (auto path = stmt.columnText(side)) entryOf(totals, *path) += *count;
    }
  }
  return totals;
}

}  // namespace nodrel::codeintel
