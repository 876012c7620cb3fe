#include "platform/sentence_embedding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace nodrel::platform {
namespace {

const SentenceEmbedding& english() {
  static const SentenceEmbedding model = *SentenceEmbedding::forLanguage("en");
  return model;
}

double cosine(std::string_view a, std::string_view b) {
  const auto va = english().vector(a);
  const auto vb = english().vector(b);
  EXPECT_TRUE(va && vb) << a << " | " << b;
  if (!va || !vb) return 0.0;
  double dot = 0.0;
  for (std::size_t i = 0; i < va->size(); ++i) dot += (*va)[i] * (*vb)[i];
  return dot;  // both are unit vectors
}

TEST(SentenceEmbedding, EnglishOnly) {
  EXPECT_TRUE(SentenceEmbedding::forLanguage("en").has_value());
  EXPECT_TRUE(SentenceEmbedding::forLanguage("en-GB").has_value());
  EXPECT_FALSE(SentenceEmbedding::forLanguage("fr").has_value());
  EXPECT_FALSE(SentenceEmbedding::forLanguage("").has_value());
}

TEST(SentenceEmbedding, TextsWithoutWordsGiveNoVector) {
  for (std::string_view text : {"", "   \n", "... !? --", "🙂🙂"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(english().vector(text).has_value());
  }
}

TEST(SentenceEmbedding, UnitVectorsOfTheFixedDimension) {
  for (std::string_view text : {"memory", "What is this?", "Run the tests before pushing.",
                                "x_1 = 42", "Ünïcödé wörds ånd ïdéntïfïers"}) {
    SCOPED_TRACE(text);
    const auto v = english().vector(text);
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->size(), SentenceEmbedding::kDimension);
    double norm = 0.0;
    for (double x : *v) norm += x * x;
    EXPECT_NEAR(norm, 1.0, 1e-9);
  }
}

// Stored vectors depend on the recipe: a change that moves this vector must also change the
// dimension, so that old vectors are no longer compared with new ones.
TEST(SentenceEmbedding, RecipeIsFrozen) {
  ASSERT_EQ(SentenceEmbedding::kDimension, 256u);
  const auto v = english().vector("Memory stores");
  ASSERT_TRUE(v.has_value());
  std::vector<double> want(256, 0.0);
  want[49] = 2.0 / 3.0;   // stem "memori"
  want[53] = -2.0 / 3.0;  // stem "store"
  want[99] = 1.0 / 3.0;   // the pair, at half weight
  for (std::size_t i = 0; i < 256; ++i) EXPECT_NEAR((*v)[i], want[i], 1e-12) << i;
}

TEST(SentenceEmbedding, CaseInflectionAndIdentifierSplitting) {
  struct Case {
    std::string a, b;
    double atLeast;
  };
  const Case cases[] = {
      {"Run Tests", "run tests", 1.0},
      {"running the tests", "run test", 1.0},  // stems; "the" carries nothing
      {"parseConfig", "parse config", 0.8},
      {"parse_config", "parseConfig", 1.0},
      {"HTTPServer", "http server", 0.8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " | " + c.b);
    EXPECT_GE(cosine(c.a, c.b), c.atLeast - 1e-9);
  }
}

TEST(SentenceEmbedding, ParaphrasesScoreWellAboveUnrelatedPairs) {
  struct Pair {
    std::string a, b;
  };
  const Pair paraphrases[] = {
      {"Run the tests before pushing to main.",
       "Always run tests before you push to the main branch."},
      {"Use tabs for indentation.", "Indent with tabs, not spaces."},
      {"The build fails when the cache directory is missing.",
       "Build failure: cache directory missing."},
      {"Store API keys in the keychain.", "API keys belong in the keychain, never in the repo."},
      {"parseConfig throws on an empty file.", "parse config throws when the file is empty"},
      {"Deploy to staging with pnpm run deploy.", "To deploy to staging, run pnpm deploy."},
      {"The database migration failed because of a missing column.",
       "Migration of the database failed: column missing."},
      {"Prefer small pull requests.", "Pull requests should be small."},
  };
  // Sentences of different topics that share no content word.
  const std::string unrelated[] = {"Use tabs for indentation.",
                                   "Store API keys in the keychain.",
                                   "Deploy to staging with pnpm.",
                                   "Lunch is at noon on Fridays.",
                                   "The logo should be blue.",
                                   "Rotate the log files every week.",
                                   "Memory usage spikes during image decoding.",
                                   "Write commit messages in the imperative mood.",
                                   "The payment service times out under load.",
                                   "Translations live in the locales folder.",
                                   "Alice prefers dark mode in the editor.",
                                   "Migrations run inside one transaction."};
  double worstParaphrase = 1.0;
  for (const auto& p : paraphrases) {
    SCOPED_TRACE(p.a + " | " + p.b);
    const double c = cosine(p.a, p.b);
    EXPECT_GT(c, 0.5);
    worstParaphrase = std::min(worstParaphrase, c);
  }
  int pairs = 0, atOrBelowCut = 0;
  for (std::size_t i = 0; i < std::size(unrelated); ++i) {
    for (std::size_t j = i + 1; j < std::size(unrelated); ++j) {
      SCOPED_TRACE(unrelated[i] + " | " + unrelated[j]);
      const double c = cosine(unrelated[i], unrelated[j]);
      ++pairs;
      if (c <= 0.01) ++atOrBelowCut;
      EXPECT_LT(c, worstParaphrase);  // hash collisions stay well below a real paraphrase
    }
  }
  // Most unrelated pairs fall at or below the vector search's cut, so that recall's fallback
  // still fires when nothing is similar.
  EXPECT_GE(atOrBelowCut * 4, pairs * 3) << atOrBelowCut << " of " << pairs;
}

TEST(SentenceEmbedding, FunctionWordsAloneStillGiveAVector) {
  const auto v = english().vector("what is this");
  ASSERT_TRUE(v.has_value());
  // ...which content-bearing texts do not share
  EXPECT_LE(std::abs(cosine("what is this", "Rotate the log files every week.")), 0.5);
}

TEST(SentenceEmbedding, Deterministic) {
  const std::string text = "The payment service times out under load.";
  EXPECT_EQ(english().vector(text), english().vector(text));
}

}  // namespace
}  // namespace nodrel::platform
