#include "platform/tagger_lexicon.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel::platform {
namespace {

testing::ProgramRun generator(const std::vector<std::string>& arguments) {
  return testing::runProgram(testing::binaryPath("platform/nodrel_tagger_lexicon_gen"), arguments,
                             "");
}

TEST(TaggerLexicon, MostFrequentPartOfSpeechByTaggedSenses) {
  const auto run = generator({testing::fixturePath("platform/wordnet").string(), "--list"});
  ASSERT_EQ(run.status, 0);
  // word, most frequent part of speech, every part of speech (1 noun, 2 verb, 4 adj, 8 adv)
  EXPECT_EQ(run.out,
            "child 1 1\n"
            "children 1 1\n"  // an irregular form takes its base's part of speech
            "quick 4 4\n"
            "ran 2 2\n"
            "run 2 2\n"
            "school 1 3\n"  // 148 noun senses tagged against 2 verb ones
            "test 2 3\n"    // 45 verb against 36 noun
            "tie 1 3\n"     // 5 and 5: ties go to the noun
            "zero 1 3\n");  // never tagged: the noun again
  // ice_cream, a collocation, is no single word and is left out
}

TEST(TaggerLexicon, MissingWordNetGivesAnEmptyTableNotAFailedBuild) {
  testing::TempHome home;
  const auto output = home.path() / "table.cpp";
  for (const std::string& source :
       {std::string("--empty"), (home.path() / "no-such-dir").string()}) {
    SCOPED_TRACE(source);
    ASSERT_EQ(generator({source, output.string()}).status, 0);
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("LexiconTable table{kWords, sizeof(kWords) - 1, kSlots, 1, 0}"),
              std::string::npos);
  }
}

TEST(TaggerLexicon, CompiledTableAnswersLookups) {
  const LexiconTable& table = taggerLexicon();
  if (table.entryCount == 0) GTEST_SKIP() << "built without WordNet";
  EXPECT_EQ(lookupLexicon(table, "school").best, kLexiconNoun);
  EXPECT_EQ(lookupLexicon(table, "run").best, kLexiconVerb);
  EXPECT_TRUE(lookupLexicon(table, "quick").mask & kLexiconAdjective);
  EXPECT_EQ(lookupLexicon(table, "ran").best, kLexiconVerb);
  EXPECT_EQ(lookupLexicon(table, "qwzxv").mask, 0);
  EXPECT_EQ(lookupLexicon(table, "").mask, 0);
  EXPECT_EQ(lookupLexicon(table, std::string(300, 'a')).mask, 0);
}

}  // namespace
}  // namespace nodrel::platform
