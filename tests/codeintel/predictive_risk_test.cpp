#include "codeintel/predictive_risk.h"

#include <gtest/gtest.h>

#include "tests/codeintel/code_rows.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

using testing::addBuildFailure;
using testing::addCoChange;
using testing::addTestFailure;

const std::string kProject = "/work/project";
const std::string kWhen = "2026-01-01T00:00:00.000+0000";

TEST(PredictiveRisk, NoHistoryPredictsNothing) {
  testing::TestDatabase t;
  EXPECT_TRUE(predictCoChanges(kProject, "a.ts", t.db()).empty());
}

TEST(PredictiveRisk, CoChangeRateAloneMustReachThreeQuarters) {
  testing::TestDatabase t;
  auto& db = t.db();
  addCoChange(db, kProject, "a", "b", 3);
  addCoChange(db, kProject, "c", "a", 1);
  addCoChange(db, "/other", "a", "d", 50);

  auto rates = fetchCoChangeRates(kProject, "a", db);
  EXPECT_EQ(rates.at("b"), (HistoryRate{0.75, 3}));
  EXPECT_EQ(rates.at("c"), (HistoryRate{0.25, 1}));

  auto predictions = predictCoChanges(kProject, "a", db);
  ASSERT_EQ(predictions.size(), 1u);
  EXPECT_EQ(predictions[0], (Prediction{"b", 0.30000000000000004,
                                        "co-changed in 75% of correlated commits", 3, 0, 0}));
}

TEST(PredictiveRisk, BuildRateOfSixSeventhsIsExactlyTheThresholdAndNotPredicted) {
  testing::TestDatabase t;
  auto& db = t.db();
  for (int i = 0; i < 6; ++i) addBuildFailure(db, kProject, kWhen, "a", "x");
  addBuildFailure(db, kProject, kWhen, "a", "y");
  auto rates = fetchBuildFailureRates(kProject, "a", db);
  EXPECT_EQ(rates.at("x").count, 6);
  EXPECT_DOUBLE_EQ(rates.at("x").rate, 6.0 / 7.0);
  EXPECT_TRUE(predictCoChanges(kProject, "a", db).empty());

  // One more report naming x lifts it above: 7 of 8.
  addBuildFailure(db, kProject, kWhen, "a", "x");
  auto predictions = predictCoChanges(kProject, "a", db);
  ASSERT_EQ(predictions.size(), 1u);
  EXPECT_EQ(predictions[0].file, "x");
  EXPECT_EQ(predictions[0].buildFailureCount, 7);
  EXPECT_EQ(predictions[0].reason, "caused build errors 88% of the time");
}

TEST(PredictiveRisk, CombinesTheThreeHistories) {
  testing::TestDatabase t;
  auto& db = t.db();
  // m: co 0.5 and build 0.5 -> 0.375. n: co 0.5 only -> 0.2 (dropped).
  addCoChange(db, kProject, "a", "m", 1);
  addCoChange(db, kProject, "n", "a", 1);
  addBuildFailure(db, kProject, kWhen, "a", "m");
  addBuildFailure(db, kProject, kWhen, "a", "a");  // the edited file itself is a candidate
  // Test failures alone never reach the threshold; grouped by name when the file is NULL.
  addTestFailure(db, kProject, "a", "test one", db::Null{});
  addTestFailure(db, kProject, "a", "test one", db::Null{});
  auto tests = fetchTestFailureRates(kProject, "a", db);
  ASSERT_EQ(tests.size(), 1u);
  EXPECT_EQ(tests[0], (TestFailureRate{"test one", 2, 1.0}));

  auto predictions = predictCoChanges(kProject, "a", db);
  ASSERT_EQ(predictions.size(), 1u);
  EXPECT_EQ(predictions[0],
            (Prediction{"m", 0.375,
                        "co-changed in 50% of correlated commits; caused build errors 50% of the "
                        "time",
                        1, 1, 0}));
}

TEST(PredictiveRisk, AllThreeRatesGiveAllThreePhrasesHighestFirst) {
  testing::TestDatabase t;
  auto& db = t.db();
  // k: co 0.6, build 0.2, two test failures at rate 1.0 -> 0.24 + 0.07 + 0.25.
  addCoChange(db, kProject, "a", "k", 3);
  addCoChange(db, kProject, "a", "j", 2);
  for (int i = 0; i < 4; ++i) addBuildFailure(db, kProject, kWhen, "a", "j");
  addBuildFailure(db, kProject, kWhen, "a", "k");
  addTestFailure(db, kProject, "a", "k test", db::text("k"));
  addTestFailure(db, kProject, "a", "k test 2", db::text("k"));

  auto predictions = predictCoChanges(kProject, "a", db);
  ASSERT_EQ(predictions.size(), 2u);
  EXPECT_EQ(predictions[0].file, "k");
  EXPECT_DOUBLE_EQ(predictions[0].score, (0.6 * 0.4 + 0.2 * 0.35) + 1.0 * 0.25);
  EXPECT_EQ(predictions[0].reason,
            "co-changed in 60% of correlated commits; caused build errors 20% of the time; "
            "caused 2 test failure(s)");
  EXPECT_EQ(predictions[0].testFailureCount, 2);
  EXPECT_EQ(predictions[1].file, "j");  // 0.16 + 0.28
}

TEST(PredictiveRisk, ReasonPercentagesRoundHalvesAwayFromZero) {
  struct Case {
    double co, build, test;
    std::int64_t tests;
    std::string want;
  };
  const Case cases[] = {
      {0.125, 0, 0, 0, "co-changed in 13% of correlated commits"},
      {0.005, 0, 0, 0, "co-changed in 1% of correlated commits"},
      {0, 0.445, 0, 0, "caused build errors 45% of the time"},
      {0, 0, 0.5, 3, "caused 3 test failure(s)"},
      {0, 0, 0, 0, "historical pattern detected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(predictionReason(c.tests, c.co, c.build, c.test), c.want);
  }
  EXPECT_EQ(percentText(std::nan("")), "n/a");
}

}  // namespace
}  // namespace nodrel::codeintel
