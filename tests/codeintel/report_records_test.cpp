#include "codeintel/report_records.h"

#include <gtest/gtest.h>

namespace nodrel::codeintel {
namespace {

using nlohmann::json;

std::vector<std::string> keysOf(const json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

BuildFailure buildFailure(std::string project, std::string timestamp, std::string file,
                          std::string message, std::string type) {
  BuildFailure f;
  f.project = std::move(project);
  f.timestamp = std::move(timestamp);
  f.errorFile = std::move(file);
  f.errorMessage = std::move(message);
  f.errorType = std::move(type);
  return f;
}

TEST(RiskLevel, RawValues) {
  for (RiskLevel level : {RiskLevel::Low, RiskLevel::Medium, RiskLevel::High}) {
    EXPECT_EQ(riskLevelFromRaw(toString(level)), level);
    EXPECT_EQ(json(level), json(std::string(toString(level))));
  }
  for (const char* other : {"Low", " low", "low ", "HIGH", ""}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(riskLevelFromRaw(other).has_value());
    EXPECT_THROW(json(other).get<RiskLevel>(), RecordDecodingError);
  }
}

TEST(BuildFailureJson, AbsentOptionalsAreLeftOut) {
  BuildFailure failure =
      buildFailure("/p", "2026-01-15T14:03:07.250+0000", "a.swift", "boom", "compile");
  const json encoded = failure;
  std::vector<std::string> want = {"errorFile", "errorMessage", "errorType", "id",
                                   "project",   "resolved",     "timestamp"};
  EXPECT_EQ(keysOf(encoded), want);  // nlohmann keeps keys sorted
  EXPECT_EQ(encoded["timestamp"], "2026-01-15T14:03:07.250+0000");
  EXPECT_EQ(encoded["resolved"], false);
  EXPECT_EQ(encoded.get<BuildFailure>(), failure);

  failure.triggerFile = "b.swift";
  failure.errorLine = 12;
  failure.resolvedAt = "2026-01-16T00:00:00.000+0000";
  failure.sessionID = "s1";
  const json full = failure;
  EXPECT_EQ(full["errorLine"], 12);
  EXPECT_EQ(full["sessionID"], "s1");
  EXPECT_EQ(full.get<BuildFailure>(), failure);

  json withNulls = full;
  withNulls["triggerFile"] = nullptr;
  withNulls["errorLine"] = nullptr;
  EXPECT_FALSE(withNulls.get<BuildFailure>().triggerFile.has_value());
  EXPECT_FALSE(withNulls.get<BuildFailure>().errorLine.has_value());
}

TEST(BuildFailureJson, DecodingRejectsMissingKeysAndWrongTypes) {
  const json good = buildFailure("/p", "t", "f", "m", "compile");
  struct Case {
    const char* key;
    json value;
  };
  const Case cases[] = {{"id", json()},
                        {"id", json(1.5)},
                        {"id", json("1")},
                        {"resolved", json(0)},
                        {"errorLine", json("3")},
                        {"project", json(1)},
                        {"id", json(18446744073709551615ull)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value.dump());
    json bad = good;
    if (c.value.is_null()) {
      bad.erase(c.key);
    } else {
      bad[c.key] = c.value;
    }
    EXPECT_THROW(bad.get<BuildFailure>(), RecordDecodingError);
  }
  json extra = good;
  extra["unknown"] = 1;
  EXPECT_NO_THROW(extra.get<BuildFailure>());
}

TEST(TestFailureJson, RoundTripsWithoutErrorMessage) {
  TestFailure failure;
  failure.project = "/p";
  failure.timestamp = "t";
  failure.testName = "-[A testB]";
  failure.testFile = "ATests.swift";
  failure.framework = "xctest";
  const json encoded = failure;
  EXPECT_FALSE(encoded.contains("errorMessage"));
  EXPECT_FALSE(encoded.contains("triggerFile"));
  EXPECT_EQ(encoded["testFile"], "ATests.swift");
  const auto decoded = encoded.get<TestFailure>();
  EXPECT_FALSE(decoded.errorMessage.has_value());
  EXPECT_EQ(decoded, failure);
  json missingName = encoded;
  missingName.erase("testName");
  EXPECT_THROW(missingName.get<TestFailure>(), RecordDecodingError);
}

ImpactReport sampleReport() {
  ImpactReport report;
  report.changedFiles = {"a.swift"};
  report.directDependents = {"b.swift"};
  report.transitiveDependents = {"c.swift"};
  report.fragileFiles = {"d.swift"};
  report.blastRadius = 2;
  report.riskLevel = RiskLevel::Medium;
  report.highImpactWarnings = {"b.swift is depended on by 12 files"};
  report.topFragileFiles = {{"A", 0.5}, {"B", 0.25}};
  report.predictions = {{"e.swift", 0.75, "co-changed 4 times", 4, 1, 0}};
  return report;
}

TEST(ImpactReportJson, TopFragileFilesAreParallelArrays) {
  const json encoded = sampleReport();
  EXPECT_EQ(encoded["topFragileFilePaths"], json({"A", "B"}));
  EXPECT_EQ(encoded["topFragileFileScores"], json({0.5, 0.25}));
  EXPECT_FALSE(encoded.contains("topFragileFiles"));
  EXPECT_EQ(encoded["riskLevel"], "medium");
  EXPECT_EQ(encoded["predictions"][0]["coChangeCount"], 4);
  EXPECT_EQ(keysOf(encoded["predictions"][0]),
            (std::vector<std::string>{"buildFailureCount", "coChangeCount", "file", "reason",
                                      "score", "testFailureCount"}));
  EXPECT_EQ(encoded.get<ImpactReport>(), sampleReport());
  EXPECT_EQ(json(ImpactReport{})["predictions"], json::array());

  json uneven = encoded;
  uneven["topFragileFilePaths"] = {"A", "B", "C"};
  EXPECT_EQ(uneven.get<ImpactReport>().topFragileFiles,
            (std::vector<FragileFileScore>{{"A", 0.5}, {"B", 0.25}}));
  uneven["topFragileFileScores"] = {0.5};
  EXPECT_EQ(uneven.get<ImpactReport>().topFragileFiles.size(), 1u);
}

TEST(ImpactReportJson, OnlyPredictionsMayBeMissing) {
  json withoutPredictions = sampleReport();
  withoutPredictions.erase("predictions");
  EXPECT_TRUE(withoutPredictions.get<ImpactReport>().predictions.empty());
  withoutPredictions["predictions"] = nullptr;
  EXPECT_TRUE(withoutPredictions.get<ImpactReport>().predictions.empty());

  for (const char* key : {"truncatedCount", "changedFiles", "riskLevel", "topFragileFilePaths",
                          "topFragileFileScores", "highImpactWarnings"}) {
    SCOPED_TRACE(key);
    json bad = sampleReport();
    bad.erase(key);
    EXPECT_THROW(bad.get<ImpactReport>(), RecordDecodingError);
  }
  json badRisk = sampleReport();
  badRisk["riskLevel"] = "Medium";
  EXPECT_THROW(badRisk.get<ImpactReport>(), RecordDecodingError);
}

}  // namespace
}  // namespace nodrel::codeintel
