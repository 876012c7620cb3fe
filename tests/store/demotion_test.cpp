#include "store/demotion.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace nodrel::store {
namespace {

using namespace std::chrono_literals;

TEST(DemotionScores, WeighAccessRecencyLinksAndType) {
  const platform::Instant now{std::chrono::milliseconds(1'800'000'000'000)};
  auto memory = [&](std::int64_t access, std::chrono::hours age, MemoryType type) {
    Memory m;
    m.accessCount = access;
    m.lastAccessed = now - age;
    m.type = type;
    return m;
  };
  const std::vector<Memory> candidates = {memory(10, 240h, MemoryType::Rule),
                                          memory(5, 120h, MemoryType::Observation),
                                          memory(0, 0h, MemoryType::Correction)};
  // Means over the two recorded counts: degree 2, two-hop 1; maxima 4 and 2. The second has
  // no links and the third no counts at all: both take the means.
  const std::vector<std::optional<MemoryLinkCounts>> counts = {
      MemoryLinkCounts{4, 2}, MemoryLinkCounts{0, 0}, std::nullopt};
  const auto scores = demotionScores(candidates, counts, now);
  ASSERT_EQ(scores.size(), 3u);
  EXPECT_DOUBLE_EQ(scores[0], 0.30 + 0.25 * 0.0 + 0.20 * 1.0 + 0.15 * 1.0 + 0.1 * 0.8);
  EXPECT_DOUBLE_EQ(scores[1], 0.15 + 0.25 * 0.5 + 0.20 * 0.5 + 0.15 * 0.5 + 0.0);
  EXPECT_DOUBLE_EQ(scores[2], 0.0 + 0.25 * 1.0 + 0.20 * 0.5 + 0.15 * 0.5 + 0.1 * 0.55);
}

TEST(DemotionScores, DegenerateMaximaUseTheirFallbacks) {
  const platform::Instant now{std::chrono::milliseconds(1'800'000'000'000)};
  struct Case {
    const char* name;
    std::vector<std::int64_t> access;
    std::vector<std::chrono::hours> age;  // negative: accessed in the future
    double want;                          // every candidate's score
  };
  const Case cases[] = {
      {"never accessed, now", {0, 0}, {0h, 0h}, 0.25 * 1.0 + 0.20 * 0.5 + 0.15 * 0.5},
      {"future", {0, 0}, {-5h, -50h}, 0.25 * 1.0 + 0.20 * 0.5 + 0.15 * 0.5},
      {"one past instant", {0, 0}, {48h, 48h}, 0.25 * 0.0 + 0.20 * 0.5 + 0.15 * 0.5},
      {"equal access", {3, 3}, {48h, 48h}, 0.30 + 0.20 * 0.5 + 0.15 * 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Memory> candidates;
    for (std::size_t i = 0; i < c.access.size(); ++i) {
      Memory m;
      m.accessCount = c.access[i];
      m.lastAccessed = now - c.age[i];
      candidates.push_back(m);
    }
    const std::vector<std::optional<MemoryLinkCounts>> none(candidates.size(), MemoryLinkCounts{});
    for (double score : demotionScores(candidates, none, now)) EXPECT_DOUBLE_EQ(score, c.want);
  }
}

TEST(DemotionScores, TypeWeights) {
  struct Case {
    MemoryType type;
    double term;
  };
  const Case cases[] = {{MemoryType::Correction, 0.05500000000000001},
                        {MemoryType::Decision, 0.034999999999999996},
                        {MemoryType::Fact, 0.034999999999999996},
                        {MemoryType::Rule, 0.08000000000000002},
                        {MemoryType::Workflow, 0.08000000000000002},
                        {MemoryType::Observation, 0},
                        {MemoryType::KeyPoint, 0.015},
                        {MemoryType::Handoff, 0.015},
                        {MemoryType::State, 0.015}};
  for (const auto& c : cases) {
    SCOPED_TRACE(toString(c.type));
    EXPECT_EQ(0.1 * demotionTypeWeight(c.type), c.term);
  }
}

}  // namespace
}  // namespace nodrel::store
