#include "platform/tagger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nodrel::platform {
namespace {

struct Tagged {
  std::string text;
  std::string tag;  // "-" when untagged
  friend bool operator==(const Tagged&, const Tagged&) = default;
};

std::ostream& operator<<(std::ostream& os, const Tagged& t) { return os << t.text << "/" << t.tag; }

std::vector<Tagged> tag(std::string_view text, TagScheme scheme, unsigned options,
                        std::initializer_list<TagScheme> schemes = {
                            TagScheme::LexicalClass, TagScheme::NameType, TagScheme::TokenType}) {
  Tagger tagger(schemes);
  tagger.setString(text);
  std::vector<Tagged> out;
  tagger.enumerateTags(tagger.wholeRange(), TokenUnit::Word, scheme, options,
                       [&](std::optional<Tag> t, TextRange r) {
                         out.push_back({std::string(text.substr(r.begin, r.end - r.begin)),
                                        t ? std::string(tagName(*t)) : "-"});
                         return true;
                       });
  return out;
}

constexpr unsigned kWordsOnly = kTaggerOmitPunctuation | kTaggerOmitWhitespace | kTaggerOmitOther;
constexpr unsigned kNames = kTaggerOmitPunctuation | kTaggerOmitWhitespace | kTaggerJoinNames;

std::vector<std::string> withTag(std::string_view text, TagScheme scheme, unsigned options,
                                 std::string_view wanted) {
  std::vector<std::string> out;
  for (const auto& t : tag(text, scheme, options)) {
    if (t.tag == wanted) out.push_back(t.text);
  }
  return out;
}

std::vector<std::string> nouns(std::string_view text) {
  return withTag(text, TagScheme::LexicalClass, kWordsOnly, "Noun");
}

std::vector<std::string> names(std::string_view text) {
  return withTag(text, TagScheme::NameType, kNames, "PersonalName");
}

using Words = std::vector<std::string>;

TEST(Tagger, TokensCoverTheTextWithByteRanges) {
  const std::string text = "Héllo, wörld!\n  x_1 = 42 🙂";
  Tagger tagger({TagScheme::TokenType});
  tagger.setString(text);
  std::vector<Tagged> tokens;
  std::size_t expectedBegin = 0;
  tagger.enumerateTags(
      tagger.wholeRange(), TokenUnit::Word, TagScheme::TokenType, 0,
      [&](std::optional<Tag> t, TextRange r) {
        EXPECT_EQ(r.begin, expectedBegin);
        expectedBegin = r.end;
        tokens.push_back({text.substr(r.begin, r.end - r.begin), std::string(tagName(*t))});
        return true;
      });
  EXPECT_EQ(expectedBegin, text.size());
  const std::vector<Tagged> want = {
      {"Héllo", "Word"},    {",", "Punctuation"}, {" ", "Whitespace"},  {"wörld", "Word"},
      {"!", "Punctuation"}, {"\n", "Whitespace"}, {"  ", "Whitespace"}, {"x_1", "Word"},
      {" ", "Whitespace"},  {"=", "Other"},       {" ", "Whitespace"},  {"42", "Word"},
      {" ", "Whitespace"},  {"🙂", "Other"}};
  EXPECT_EQ(tokens, want);
}

TEST(Tagger, OptionsOmitTheirKindOfToken) {
  const std::string text = "Run it, now = 1";
  struct Case {
    unsigned options;
    Words want;
  };
  const Case cases[] = {
      {kTaggerOmitWhitespace, {"Run", "it", ",", "now", "=", "1"}},
      {kTaggerOmitWhitespace | kTaggerOmitPunctuation, {"Run", "it", "now", "=", "1"}},
      {kTaggerOmitWhitespace | kTaggerOmitPunctuation | kTaggerOmitOther,
       {"Run", "it", "now", "1"}},
      {kTaggerOmitWords | kTaggerOmitWhitespace, {",", "="}},
      {kTaggerOmitWords | kTaggerOmitPunctuation | kTaggerOmitOther, {" ", " ", " ", " "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Words got;
    for (const auto& t : tag(text, TagScheme::TokenType, c.options)) got.push_back(t.text);
    EXPECT_EQ(got, c.want);
  }
}

TEST(Tagger, SchemesNotAskedForGiveNoTags) {
  for (const auto& t :
       tag("The memory store.", TagScheme::NameType, 0, {TagScheme::LexicalClass})) {
    EXPECT_EQ(t.tag, "-") << t.text;
  }
}

TEST(Tagger, StopsWhenTheCallbackSaysSo) {
  Tagger tagger({TagScheme::LexicalClass});
  tagger.setString("one two three four");
  int calls = 0;
  tagger.enumerateTags(tagger.wholeRange(), TokenUnit::Word, TagScheme::LexicalClass, kWordsOnly,
                       [&](std::optional<Tag>, TextRange) { return ++calls < 2; });
  EXPECT_EQ(calls, 2);
}

TEST(Tagger, EnumeratesOnlyInsideTheRange) {
  const std::string text = "alpha beta gamma";
  Tagger tagger({TagScheme::LexicalClass});
  tagger.setString(text);
  Words got;
  tagger.enumerateTags({6, 10}, TokenUnit::Word, TagScheme::LexicalClass, kWordsOnly,
                       [&](std::optional<Tag>, TextRange r) {
                         got.push_back(text.substr(r.begin, r.end - r.begin));
                         return true;
                       });
  EXPECT_EQ(got, Words{"beta"});
  got.clear();
  tagger.enumerateTags({100, 200}, TokenUnit::Word, TagScheme::LexicalClass, 0,
                       [&](std::optional<Tag>, TextRange) { return true; });
  EXPECT_TRUE(got.empty());
}

TEST(Tagger, PunctuationAndWhitespaceClasses) {
  const std::vector<Tagged> want = {{"(", "OpenParenthesis"},
                                    {"a", "Determiner"},
                                    {")", "CloseParenthesis"},
                                    {" ", "OtherWhitespace"},
                                    {"—", "Dash"},
                                    {"\n", "ParagraphBreak"},
                                    {"\n", "ParagraphBreak"},
                                    {"“", "OpenQuote"},
                                    {"ok", "Interjection"},
                                    {"”", "CloseQuote"},
                                    {".", "SentenceTerminator"}};
  EXPECT_EQ(tag("(a) —\n\n“ok”.", TagScheme::LexicalClass, 0), want);
}

TEST(Tagger, NounsOfRealSentences) {
  if (!taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  struct Case {
    std::string text;
    Words want;
  };
  const Case cases[] = {
      {"Use tabs for indentation in the Makefile.", {"tabs", "indentation", "Makefile"}},
      {"Always run the tests before pushing to the main branch.", {"tests", "pushing", "branch"}},
      {"The memory store keeps the config file in the user's home directory.",
       {"memory", "store", "config", "file", "user", "home", "directory"}},
      {"We deploy the build to production with pnpm and parseConfig_v2.",
       {"build", "production", "pnpm", "parseConfig_v2"}},
      {"The build failed on CI yesterday.", {"build", "CI", "yesterday"}},
      {"Store API tokens in the keychain, not in plain text.",
       {"Store", "API", "tokens", "keychain", "text"}},
      // closed-class words are never nouns, whatever the dictionary says of can, will, may
      {"You can see that it will run and we may stop here.", {}},
      // numbers are not nouns; code-like tokens and unknown words are
      {"Set the timeout to 3 in config.yaml for the fooBar widget 2nd time.",
       {"timeout", "config.yaml", "fooBar", "widget", "time"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(nouns(c.text), c.want);
  }
}

TEST(Tagger, ContextRulesPickTheClassOfAmbiguousWords) {
  if (!taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  struct Case {
    std::string text;
    std::string word;
    std::string want;
  };
  // file, test and build are verbs more often than nouns in the dictionary's counts.
  const Case cases[] = {
      {"Edit the config file now.", "file", "Noun"},
      {"Open the file.", "file", "Noun"},
      {"The build failed.", "build", "Noun"},
      {"I need to test it.", "test", "Verb"},
      {"You should build it.", "build", "Verb"},
      {"We file a bug.", "file", "Verb"},
      {"File a bug.", "File", "Verb"},
      {"The server crashes when it starts.", "crashes", "Verb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    bool found = false;
    for (const auto& t : tag(c.text, TagScheme::LexicalClass, kWordsOnly)) {
      if (t.text == c.word) {
        EXPECT_EQ(t.tag, c.want);
        found = true;
      }
    }
    EXPECT_TRUE(found);
  }
}

TEST(Tagger, NamesOfRealSentences) {
  if (!taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  struct Case {
    std::string text;
    Words want;
  };
  const Case cases[] = {
      {"Grace Hopper visited New York and met Linus Torvalds at GitHub.",
       {"Grace Hopper", "New York", "Linus Torvalds", "GitHub"}},
      // sentence-initial words that are dictionary words are not names...
      {"Use tabs. Always run tests. Never push on Friday.", {}},
      // ...and do not join the name after them; weekdays and months are no names anywhere
      {"Yesterday Mariana Okafor reviewed the patch.", {"Mariana Okafor"}},
      {"Friday Chen Wei deployed it.", {"Chen Wei"}},
      {"Today Lisbon is sunny.", {"Lisbon"}},
      {"We sync every Monday, ship on Fridays and freeze in March with Priya.", {"Priya"}},
      // ...unless they are known given names, alone or before a surname
      {"Sarah fixed the flaky test.", {"Sarah"}},
      {"John Smith owns the ledger. Grace approved it.", {"John Smith", "Grace"}},
      {"Lena Fischer designed it. Lisbon hosts the team.", {"Lena Fischer", "Lisbon"}},
      // a verb that the dictionary also writes as an acronym is still a verb
      {"Add a test. Check it in.", {}},
      {"Prefer small commits.\nAvoid merges.\n- Keep the log clean.", {}},
      {"Note: Run the linter.", {}},
      // ...but a word the dictionary does not know is one, at the start too
      {"Postgres stores the vectors for Alice.", {"Postgres", "Alice"}},
      {"Use Postgres for the Analytics service.", {"Postgres", "Analytics"}},
      // acronyms, one-letter words and lower-case identifiers are not names
      {"The API returns JSON, says I, via parseConfig.", {}},
      // a name does not run over a line break or punctuation
      {"Ask Ada\nTorvalds, Bob.", {"Ada", "Torvalds", "Bob"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(names(c.text), c.want);
  }
}

TEST(Tagger, NamesAreJoinedOnlyWhenAsked) {
  if (!taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  const std::string text = "We met Ada Lovelace in London.";
  EXPECT_EQ(withTag(text, TagScheme::NameType, kTaggerOmitPunctuation | kTaggerOmitWhitespace,
                    "PersonalName"),
            (Words{"Ada", "Lovelace", "London"}));
  // Under the lexical scheme a joined name is one noun.
  EXPECT_EQ(withTag(text, TagScheme::LexicalClass, kNames, "Noun"),
            (Words{"Ada Lovelace", "London"}));
}

TEST(Tagger, PossessiveIsSplitOffItsWord) {
  const std::vector<Tagged> want = {{"Alice", "PersonalName"},
                                    {"'s", "OtherWord"},
                                    {"laptop", "OtherWord"},
                                    {"it's", "OtherWord"}};
  EXPECT_EQ(tag("Ask Alice's laptop, it's", TagScheme::NameType, kNames).size(), 5u);
  auto got = tag("Ask Alice's laptop it's", TagScheme::NameType, kNames);
  got.erase(got.begin());
  EXPECT_EQ(got, want);
}

TEST(Tagger, SurvivesOddInput) {
  const std::string cases[] = {"",
                               std::string("\xff\xfe broken \xc3", 12),
                               std::string(3, '\0'),
                               std::string(10000, 'a'),
                               "...!!!???",
                               "\n\n\n"};
  for (const auto& text : cases) {
    SCOPED_TRACE(text.size());
    std::size_t end = 0;
    for (auto scheme : {TagScheme::LexicalClass, TagScheme::NameType}) {
      Tagger tagger({scheme});
      tagger.setString(text);
      tagger.enumerateTags(tagger.wholeRange(), TokenUnit::Word, scheme, kNames,
                           [&](std::optional<Tag>, TextRange r) {
                             EXPECT_LE(r.begin, r.end);
                             EXPECT_LE(r.end, text.size());
                             end = r.end;
                             return true;
                           });
    }
    EXPECT_LE(end, text.size());
  }
}

TEST(Tagger, CharacterClassesForQueryWords) {
  EXPECT_TRUE(isLetterOrDigit(U'é'));
  EXPECT_TRUE(isLetterOrDigit(U'٣'));  // Arabic-Indic digit three
  EXPECT_FALSE(isLetterOrDigit(U'_'));
  EXPECT_FALSE(isLetterOrDigit(U'-'));
  EXPECT_TRUE(isNumericCharacter(U'½'));
  EXPECT_TRUE(isNumericCharacter(U'7'));
  EXPECT_FALSE(isNumericCharacter(U'x'));
  EXPECT_TRUE(isUppercaseCharacter(U'Ä'));
  EXPECT_FALSE(isUppercaseCharacter(U'a'));
}

}  // namespace
}  // namespace nodrel::platform
