// codeintel/report_records.h: the result records of code intelligence (risk level, impact
// report, prediction, build and test failure) and their JSON interchange form. The server's
// tool results are separate dictionaries built field by field; this coding is the records'
// own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "codeintel/parsed_file.h"  // RecordDecodingError

namespace nodrel::codeintel {

enum class RiskLevel { Low, Medium, High };

// "low", "medium", "high".
std::string_view toString(RiskLevel level);
// Exact, case-sensitive, untrimmed match of a raw value; nothing otherwise.
std::optional<RiskLevel> riskLevelFromRaw(std::string_view raw);

struct Prediction {
  std::string file;
  double score = 0;
  std::string reason;
  std::int64_t coChangeCount = 0;
  std::int64_t buildFailureCount = 0;
  std::int64_t testFailureCount = 0;
  friend bool operator==(const Prediction&, const Prediction&) = default;
};

// One of the project's most fragile files with its fragility score.
struct FragileFileScore {
  std::string path;
  double score = 0;
  friend bool operator==(const FragileFileScore&, const FragileFileScore&) = default;
};

struct ImpactReport {
  std::vector<std::string> changedFiles;
  std::vector<std::string> directDependents;
  std::vector<std::string> transitiveDependents;
  std::vector<std::string> fragileFiles;
  std::int64_t blastRadius = 0;
  RiskLevel riskLevel = RiskLevel::Low;
  std::int64_t truncatedCount = 0;
  std::vector<std::string> highImpactWarnings;
  std::vector<FragileFileScore> topFragileFiles;  // descending score
  std::vector<Prediction> predictions;            // descending score
  friend bool operator==(const ImpactReport&, const ImpactReport&) = default;
};

// One row of `build_failures`; parsed records carry id 0.
struct BuildFailure {
  std::int64_t id = 0;
  std::string project;
  std::string timestamp;  // the database timestamp form
  std::optional<std::string> triggerFile;
  std::string errorFile;
  std::optional<std::int64_t> errorLine;
  std::string errorMessage;
  std::string errorType;  // "compile" or "link"
  bool resolved = false;
  std::optional<std::string> resolvedAt;
  std::optional<std::string> sessionID;
  friend bool operator==(const BuildFailure&, const BuildFailure&) = default;
};

// One row of `test_failures`; parsed records carry id 0.
struct TestFailure {
  std::int64_t id = 0;
  std::string project;
  std::string timestamp;
  std::string testName;
  std::optional<std::string> testFile;
  std::optional<std::string> triggerFile;
  std::optional<std::string> errorMessage;
  std::string framework;  // "xctest", "jest" or "pytest"
  bool resolved = false;
  std::optional<std::string> sessionID;
  friend bool operator==(const TestFailure&, const TestFailure&) = default;
};

// JSON coding. Keys are the field names; absent optionals are left out and read back from a
// missing key or null. An impact report codes its top fragile files as the parallel arrays
// "topFragileFilePaths" and "topFragileFileScores" and may lack "predictions". Decoding throws
// RecordDecodingError for a missing key, a value of the wrong type or an unknown risk level;
// unknown keys are ignored.
void to_json(nlohmann::json& json, RiskLevel level);
void from_json(const nlohmann::json& json, RiskLevel& level);
void to_json(nlohmann::json& json, const Prediction& prediction);
void from_json(const nlohmann::json& json, Prediction& prediction);
void to_json(nlohmann::json& json, const ImpactReport& report);
void from_json(const nlohmann::json& json, ImpactReport& report);
void to_json(nlohmann::json& json, const BuildFailure& failure);
void from_json(const nlohmann::json& json, BuildFailure& failure);
void to_json(nlohmann::json& json, const TestFailure& failure);
void from_json(const nlohmann::json& json, TestFailure& failure);

}  // namespace nodrel::codeintel
