#include "store/keyword_extraction.h"

#include <gtest/gtest.h>

#include "platform/tagger.h"

namespace nodrel::store {
namespace {

using Words = std::vector<std::string>;

TEST(KeywordExtraction, EmptyTextHasNothing) {
  EXPECT_TRUE(extractKeywords("").empty());
  EXPECT_TRUE(extractEntities("").empty());
  EXPECT_EQ(analyzeText(""), TextAnalysis{});
}

TEST(KeywordExtraction, NounsSeparatedOnlyByWhitespaceFormOnePhrase) {
  if (!platform::taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  struct Case {
    std::string text;
    Words want;
  };
  const Case cases[] = {
      {"Keep the memory store small.", {"memory store"}},
      {"Keep the memory\nstore small.", {"memory store"}},
      {"Keep the memory  \t store small.", {"memory store"}},
      {"Keep the memory, store small.", {"memory", "store"}},
      {"Keep the memory-store small.", {"memory", "store"}},
      {"Keep the memory and store small.", {"memory", "store"}},
      {"Keep the memory big store.", {"memory", "store"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(extractKeywords(c.text), c.want);
  }
}

TEST(KeywordExtraction, ShortPhrasesAndLoneStopWordsAreDropped) {
  if (!platform::taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  struct Case {
    std::string text;
    Words want;
  };
  const Case cases[] = {
      {"Check the db and the ui.", {}}, {"Check the api.", {"api"}},
      {"The way is clear.", {}},        {"Describe the use case.", {"use case"}},
      {"Run, run, run quickly!", {}},  // verbs and adverbs never count, however often
      {"Blue, red and green.", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(extractKeywords(c.text), c.want);
  }
}

TEST(KeywordExtraction, CountsLowerCasedPhrasesMostFrequentFirst) {
  if (!platform::taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  EXPECT_EQ(extractKeywords("The cache works. The Memory Store fails. The memory store is slow. "
                            "The MEMORY STORE again."),
            (Words{"memory store", "cache"}));
}

TEST(KeywordExtraction, EntitiesKeepTheirFirstSpellingAndIgnoreCase) {
  if (!platform::taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  EXPECT_EQ(extractEntities("We mirror to GitLab and push to GitHub, then Github runs CI; "
                            "GitHub is slow."),
            (Words{"GitHub", "GitLab"}));
  EXPECT_EQ(extractEntities("Ask Ada Lovelace about it, or ask Ada Lovelace later."),
            (Words{"Ada Lovelace"}));
  EXPECT_TRUE(extractEntities("use tabs. always run tests.").empty());
}

TEST(KeywordExtraction, OneAnalysisGivesBothLists) {
  const std::string text =
      "Grace Hopper moved the build server to New York.\nThe build server "
      "runs on Linux.";
  EXPECT_EQ(analyzeText(text), (TextAnalysis{extractKeywords(text), extractEntities(text)}));
}

TEST(KeywordExtraction, StopWordSet) {
  const auto& words = keywordStopWords();
  EXPECT_EQ(words.size(), 69u);
  for (const char* w : {"the", "use", "way", "need", "well"}) EXPECT_TRUE(words.count(w)) << w;
  EXPECT_FALSE(words.count("case"));
}

}  // namespace
}  // namespace nodrel::store
