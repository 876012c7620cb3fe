#include "codeintel/predictive_risk.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "codeintel/build_failures.h"
#include "codeintel/co_changes.h"
#include "codeintel/test_failures.h"

namespace nodrel::codeintel {
namespace {

constexpr double kPredictionThreshold = 0.3;

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
  const auto total = fetchCoChangeTotal(project, file, db);
  if (total < 1) return rates;
  for (const auto& partner : fetchCoChangePartners(project, {file}, db)) {
    if (!partner.count) continue;
    rates[partner.path] = {static_cast<double>(*partner.count) / static_cast<double>(total),
                           *partner.count};
  }
  return rates;
}

std::unordered_map<std::string, HistoryRate> fetchBuildFailureRates(const std::string& project,
                                                                    const std::string& file,
                                                                    db::Connection& db) {
  std::unordered_map<std::string, HistoryRate> rates;
  const auto total = countBuildFailuresTriggeredBy(project, file, db);
  if (total < 1) return rates;
  for (const auto& group : countBuildFailuresByErrorFile(project, file, db)) {
    rates[group.errorFile] = {static_cast<double>(group.count) / static_cast<double>(total),
                              group.count};
  }
  return rates;
}

std::vector<TestFailureRate> fetchTestFailureRates(const std::string& project,
                                                   const std::string& file, db::Connection& db) {
  std::vector<TestFailureRate> rates;
  const auto total = countTestFailuresTriggeredBy(project, file, db);
  if (total < 1) return rates;
  for (const auto& group : countTestFailuresByTest(project, file, db)) {
    rates.push_back(
        {group.test, group.count, static_cast<double>(group.count) / static_cast<double>(total)});
  }
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
