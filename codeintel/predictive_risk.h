// codeintel/predictive_risk.h: which other files a change to one file is likely to involve,
// predicted from the project's co-change, build-failure and test-failure history.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "codeintel/report_records.h"
#include "db/connection.h"

namespace nodrel::codeintel {

struct HistoryRate {
  double rate = 0;
  std::int64_t count = 0;
  friend bool operator==(const HistoryRate&, const HistoryRate&) = default;
};

struct TestFailureRate {
  std::string key;  // the test file, or the test's name when the row has no file
  std::int64_t count = 0;
  double rate = 0;
  friend bool operator==(const TestFailureRate&, const TestFailureRate&) = default;
};

// Partner path to (its count / the file's summed co-change count, its count). Throws db::Error.
std::unordered_map<std::string, HistoryRate> fetchCoChangeRates(const std::string& project,
                                                                const std::string& file,
                                                                db::Connection& db);
// Error file to (its rows / all rows triggered by the file, its rows). Throws db::Error.
std::unordered_map<std::string, HistoryRate> fetchBuildFailureRates(const std::string& project,
                                                                    const std::string& file,
                                                                    db::Connection& db);
// One entry per test (file, else name) that failed after the file was edited, in database
// order. Throws db::Error.
std::vector<TestFailureRate> fetchTestFailureRates(const std::string& project,
                                                   const std::string& file, db::Connection& db);

// "co-changed in P% of correlated commits; caused build errors P% of the time; caused N test
// failure(s)", the phrases whose rate is above 0, or "historical pattern detected".
std::string predictionReason(std::int64_t testCount, double coRate, double buildRate,
                             double testRate);

// The files scoring above 0.3 (0.4 co-change rate + 0.35 build rate + 0.25 test rate), highest
// first. `file` and `project` are compared with the stored texts exactly. Throws db::Error.
std::vector<Prediction> predictCoChanges(const std::string& project, const std::string& file,
                                         db::Connection& db);

// A share as a whole percentage, halves away from zero ("13" for 0.125); "n/a" when the value
// is not a finite number.
std::string percentText(double share);

}  // namespace nodrel::codeintel
