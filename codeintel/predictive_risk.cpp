#include "codeintel/predictive_risk.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_set>

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectCoChangeTotal = R"sql(SELECT SUM(count)
FROM co_changes
WHERE project = ? AND (file_a = ? OR file_b = ?))sql";

constexpr std::string_view kSelectCoChangePartners = R"sql(SELECT
    CASE WHEN file_a = ? THEN file_b ELSE file_a END AS partner,
    count
FROM co_changes
WHERE project = ? AND (file_a = ? OR file_b = ?))sql";

constexpr std::string_view kSelectBuildTotal = R"sql(SELECT COUNT(*)
FROM build_failures
WHERE project = ? AND trigger_file = ?)sql";

constexpr std::string_view kSelectBuildGroups = R"sql(SELECT error_file, COUNT(*) AS failure_count
FROM build_failures
WHERE project = ? AND trigger_file = ?
GROUP BY error_file)sql";

constexpr std::string_view kSelectTestTotal = R"sql(SELECT COUNT(*)
FROM test_failures
WHERE project = ? AND trigger_file = ?)sql";

constexpr std::string_view kSelectTestGroups =
    R"sql(SELECT COALESCE(test_file, test_name), COUNT(*) AS fail_count
FROM test_failures
WHERE project = ? AND trigger_file = ?
GROUP BY COALESCE(test_file, test_name))sql";

constexpr double kPredictionThreshold = 0.3;

std::int64_t totalOf(db::Connection& db, std::string_view sql,
                     std::initializer_list<db::Value> bindings) {
  auto value = db.scalar(sql, bindings);
  return value ? db::integerOf(*value).value_or(0) : 0;
}

// Calls `onRow(key, count)` for each row whose key is text and whose count is an integer.
template <class OnRow>
void eachGroup(db::Connection& db, std::string_view sql, std::initializer_list<db::Value> bindings,
               OnRow onRow) {
  auto stmt = db.prepare(sql);
  stmt.bindAll(std::span<const db::Value>(bindings.begin(), bindings.size()));
  while (stmt.step()) {
    auto key = stmt.column(0);
    auto count = db::integerOf(stmt.column(1));
    if (auto text = db::textOf(key); text && count) onRow(*text, *count);
  }
}

}  // namespace

std::string percentText(double share) {
  double percent = share * 100.0;
  if (!std::isfinite(percent)) return "n/a";
  // std::round goes half away from zero; adding 0.0 turns a negative zero into "0".
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.0f", std::round(percent) + 0.0);
  return buffer;
}

std::unordered_map<std::string, HistoryRate> fetchCoChangeRates(const std::string& project,
                                                                const std::string& file,
                                                                db::Connection& db) {
  std::unordered_map<std::string, HistoryRate> rates;
  auto total =
      totalOf(db, kSelectCoChangeTotal, {db::text(project), db::text(file), db::text(file)});
  if (total < 1) return rates;
  eachGroup(db, kSelectCoChangePartners,
            {db::text(file), db::text(project), db::text(file), db::text(file)},
            [&](const std::string& partner, std::int64_t count) {
              rates[partner] = {static_cast<double>(count) / static_cast<double>(total), count};
            });
  return rates;
}

std::unordered_map<std::string, HistoryRate> fetchBuildFailureRates(const std::string& project,
                                                                    const std::string& file,
                                                                    db::Connection& db) {
  std::unordered_map<std::string, HistoryRate> rates;
  auto total = totalOf(db, kSelectBuildTotal, {db::text(project), db::text(file)});
  if (total < 1) return rates;
  eachGroup(db, kSelectBuildGroups, {db::text(project), db::text(file)},
            [&](const std::string& errorFile, std::int64_t count) {
              rates[errorFile] = {static_cast<double>(count) / static_cast<double>(total), count};
            });
  return rates;
}

std::vector<TestFailureRate> fetchTestFailureRates(const std::string& project,
                                                   const std::string& file, db::Connection& db) {
  std::vector<TestFailureRate> rates;
  auto total = totalOf(db, kSelectTestTotal, {db::text(project), db::text(file)});
  if (total < 1) return rates;
  eachGroup(
      db, kSelectTestGroups, {db::text(project), db::text(file)},
      [&](const std::string& key, std::int64_t count) {
        rates.push_back({key, count, static_cast<double>(count) / static_cast<double>(total)});
      });
  return rates;
}

std::string predictionReason(std::int64_t testCount, double coRate, double buildRate,
                             double testRate) {
  std::vector<std::string> phrases;
  if (coRate > 0)
    phrases.push_back("co-changed in " + percentText(coRate) + "% of correlated commits");
  if (buildRate > 0)
    phrases.push_back("caused build errors " + percentText(buildRate) + "% of the time");
  if (testRate > 0) phrases.push_back("caused " + std::to_string(testCount) + " test failure(s)");
  if (phrases.empty()) return "historical pattern detected";
  std::string reason = phrases.front();
  for (std::size_t i = 1; i < phrases.size(); ++i) reason += "; " + phrases[i];
  return reason;
}

std::vector<Prediction> predictCoChanges(const std::string& project, const std::string& file,
                                         db::Connection& db) {
  auto coRates = fetchCoChangeRates(project, file, db);
  auto buildRates = fetchBuildFailureRates(project, file, db);
  auto testRates = fetchTestFailureRates(project, file, db);

  // Candidates in path order, so equal scores come out the same way on every call.
  std::vector<std::string> candidates;
  std::unordered_set<std::string> seen;
  auto add = [&](const std::string& candidate) {
    if (seen.insert(candidate).second) candidates.push_back(candidate);
  };
  for (const auto& [partner, rate] : coRates) add(partner);
  for (const auto& [errorFile, rate] : buildRates) add(errorFile);
  for (const auto& test : testRates) add(test.key);
  std::sort(candidates.begin(), candidates.end());

  std::vector<Prediction> predictions;
  for (const auto& candidate : candidates) {
    auto co = coRates.find(candidate);
    auto build = buildRates.find(candidate);
    auto test = std::find_if(testRates.begin(), testRates.end(),
                             [&](const TestFailureRate& t) { return t.key == candidate; });
    const HistoryRate coRate = co == coRates.end() ? HistoryRate{} : co->second;
    const HistoryRate buildRate = build == buildRates.end() ? HistoryRate{} : build->second;
    const double testRate = test == testRates.end() ? 0.0 : test->rate;
    const double score = (coRate.rate * 0.4 + buildRate.rate * 0.35) + testRate * 0.25;
    if (!(score > kPredictionThreshold)) continue;
    const std::int64_t testCount = test == testRates.end() ? 0 : test->count;
    predictions.push_back({candidate, score,
                           predictionReason(testCount, coRate.rate, buildRate.rate, testRate),
                           coRate.count, buildRate.count, testCount});
  }
  std::stable_sort(predictions.begin(), predictions.end(),
                   [](const Prediction& a, const Prediction& b) { return a.score > b.score; });
  return predictions;
}

}  // namespace nodrel::codeintel
