#include "store/surface_condition.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace nodrel::store {
namespace {

using Error = SurfaceConditionParseError;
using Rule = SurfaceConditionRule;

// The backtracking matcher the glob's answers are defined by; fine on the short texts of the
// comparison below.
bool referenceGlob(std::string_view p, std::string_view s) {
  if (p.empty()) return s.empty();
  if (p[0] == '*') {
    for (std::size_t skip = 0;; ++skip) {
      if (referenceGlob(p.substr(1), s.substr(skip))) return true;
      if (skip == s.size()) return false;
    }
  }
  if (s.empty()) return false;
  if (p[0] == '?') return s[0] != '/' && referenceGlob(p.substr(1), s.substr(1));
  return p[0] == s[0] && referenceGlob(p.substr(1), s.substr(1));
}

Error parseError(std::string_view json) {
  try {
    Rule::parse(json);
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "parsed: " << json;
  return Error::invalidJSON();
}

// A leaf under `levels` - 1 "not" nodes.
std::string nested(int levels) {
  std::string json;
  for (int i = 1; i < levels; ++i) json += R"({"op":"not","clause":)";
  json += R"({"type":"task_keyword","value":"x"})";
  json.append(static_cast<std::size_t>(levels - 1), '}');
  return json;
}

TEST(SurfaceConditionParse, ErrorsNameTheOffendingNode) {
  struct Case {
    std::string json;
    Error want;
  };
  const Case cases[] = {
      {R"({"op":"and","clauses":[]})", Error::emptyClauses()},
      {R"({"op":"or","clauses":[]})", Error::emptyClauses()},
      {R"({"op":"and"})",
       Error::malformedStructure("'and'/'or' nodes must have a 'clauses' array")},
      {R"({"op":"not"})", Error::malformedStructure("'not' node must have a 'clause' field")},
      {R"({})",
       Error::malformedStructure("Node must have either 'op' (boolean) or 'type' (leaf) field")},
      {R"({"type":"repo_path"})", Error::malformedStructure("Leaf node must have a 'value' field")},
      {R"({"op":"AND","clauses":[]})", Error::unknownOp("AND")},
      {R"({"op":"xor"})", Error::unknownOp("xor")},            // bad op before missing clauses
      {R"({"type":"branch"})", Error::unknownType("branch")},  // bad type before missing value
      {R"({"type":"repo_path","value":3})", Error::invalidJSON()},
      {R"({"op":1})", Error::invalidJSON()},
      {R"({"op":"and","clauses":{}})", Error::invalidJSON()},
      {R"({"op":"and","clauses":[1]})", Error::invalidJSON()},
      {R"([{"type":"repo_path","value":"x"}])", Error::invalidJSON()},
      {"42", Error::invalidJSON()},
      {"not json", Error::invalidJSON()},
      {"", Error::invalidJSON()},
      {"{\"type\":\"repo_path\",\"value\":\"\xff\"}", Error::invalidJSON()},
      // A deep error is reported as itself, not as a decoding failure of the whole text.
      {R"({"op":"and","clauses":[{"type":"repo_path","value":"/a"},)"
       R"({"op":"not","clause":{"op":"or","clauses":[{"type":"nope","value":"v"}]}}]})",
       Error::unknownType("nope")},
      {R"({"op":"or","clauses":[{"op":"and","clauses":[]}]})", Error::emptyClauses()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Error got = parseError(c.json);
    EXPECT_EQ(got.kind(), c.want.kind());
    EXPECT_EQ(got.detail(), c.want.detail());
    EXPECT_TRUE(got == c.want);
  }
}

TEST(SurfaceConditionParse, AcceptsExtraKeysEmptyValuesAndIgnoresLeafKeysOnOps) {
  EXPECT_EQ(Rule::parse(R"({"type":"file_glob","value":"","note":1})"),
            Rule::leaf(MemoryConditionType::FileGlob, ""));
  EXPECT_EQ(
      Rule::parse(R"({"op":"not","type":"bogus","clause":{"type":"symbol_touched","value":"f"}})"),
      Rule::negation(Rule::leaf(MemoryConditionType::SymbolTouched, "f")));
}

TEST(SurfaceConditionParse, RoundTripsThroughItsJSONForm) {
  const Rule rules[] = {
      Rule::leaf(MemoryConditionType::RepoPath, "/Users/*/proj"),
      Rule::allOf({Rule::leaf(MemoryConditionType::RepoPath, "/a"),
                   Rule::negation(Rule::leaf(MemoryConditionType::TaskKeyword, "release"))}),
      Rule::anyOf({Rule::leaf(MemoryConditionType::FileGlob, "docs/**/*.md"),
                   Rule::allOf({Rule::leaf(MemoryConditionType::SymbolTouched, "parse \"x\"")})}),
  };
  for (const auto& rule : rules) {
    const std::string json = rule.encode();
    SCOPED_TRACE(json);
    EXPECT_EQ(Rule::parse(json), rule);
  }
  EXPECT_EQ(nlohmann::json::parse(rules[1].encode()), nlohmann::json::parse(R"(
      {"op":"and","clauses":[{"type":"repo_path","value":"/a"},
                             {"op":"not","clause":{"type":"task_keyword","value":"release"}}]})"));
}

TEST(SurfaceConditionParse, RefusesTreesDeeperThanTheLimitWithoutExhaustingTheStack) {
  EXPECT_EQ(Rule::parse(nested(Rule::kMaxDepth)).kind(), Rule::Kind::Not);
  EXPECT_EQ(parseError(nested(Rule::kMaxDepth + 1)).kind(), Error::Kind::InvalidJSON);
  EXPECT_EQ(parseError(nested(100000)).kind(), Error::Kind::InvalidJSON);
  EXPECT_EQ(parseError(std::string(100000, '[') + std::string(100000, ']')).kind(),
            Error::Kind::InvalidJSON);
}

TEST(SurfaceConditionEvaluate, CombinesClauses) {
  const SurfaceConditionContext context{.repoPath = "/work/app", .taskDescription = "ship it"};
  const Rule yes = Rule::leaf(MemoryConditionType::RepoPath, "/work/*");
  const Rule no = Rule::leaf(MemoryConditionType::TaskKeyword, "release");
  struct Case {
    const char* name;
    Rule rule;
    bool want;
  };
  const Case cases[] = {
      {"and true false", Rule::allOf({yes, no}), false},
      {"or true false", Rule::anyOf({yes, no}), true},
      {"not false", Rule::negation(no), true},
      {"not true", Rule::negation(yes), false},
      {"empty and", Rule::allOf({}), true},
      {"empty or", Rule::anyOf({}), false},
      {"repo unless release", Rule::parse(R"({"op":"and","clauses":[
           {"type":"repo_path","value":"/work/app"},
           {"op":"not","clause":{"type":"task_keyword","value":"Release"}}]})"),
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.rule.evaluate(context), c.want);
  }
}

TEST(GlobMatches, Cases) {
  struct Case {
    const char* pattern;
    const char* path;
    bool want;
  };
  const Case cases[] = {
      {"/Users/*/proj", "/Users/a/b/proj", true},
      {"/Users/?/proj", "/Users/ab/proj", false},
      {"/Users/?/proj", "/Users/a/proj", true},
      {"a?b", "a/b", false},
      {"/Users/*/proj", "/users/a/proj", false},
      {"docs/*/*.md", "docs/a/b.md", true},
      {"docs/*/*.md", "docs/b.md", false},
      {"*", "", true},
      {"", "", true},
      {"", "a", false},
      {"?", "", false},
      {"**", "any/thing", true},
      {"*.swift", "Sources/App/main.swift", true},
      {"*.swift", "main.swift.orig", false},
      {"a*b*c", "abc", true},
      {"a*b*c", "acb", false},
      {"[ab]", "[ab]", true},        // no character classes
      {"caf?", "cafe\u0301", true},  // a decomposed accent is one character
      {"caf\u00e9", "cafe\u0301", true},
      {"\u00e9*", "\u00e9t\u00e9", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.path);
    EXPECT_EQ(globMatches(c.pattern, c.path), c.want);
  }
}

TEST(GlobMatches, AgreesWithTheBacktrackingDefinition) {
  std::mt19937 rng(12345);
  const std::string patternAlphabet = "ab/*?";
  const std::string pathAlphabet = "ab/";
  for (int i = 0; i < 20000; ++i) {
    std::string pattern, path;
    for (int n = rng() % 8; n > 0; --n) pattern += patternAlphabet[rng() % patternAlphabet.size()];
    for (int n = rng() % 10; n > 0; --n) path += pathAlphabet[rng() % pathAlphabet.size()];
    SCOPED_TRACE(pattern + " ~ " + path);
    ASSERT_EQ(globMatches(pattern, path), referenceGlob(pattern, path));
  }
}

TEST(GlobMatches, ManyStarsStayFast) {
  const std::string pattern = std::string(40, '*').replace(0, 0, "a") + "*a*a*a*a*a*a*a*a*a*b";
  const std::string path(5000, 'a');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(globMatches(pattern, path));
  EXPECT_TRUE(globMatches(pattern, path + "b"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(MatchesCondition, EachConditionType) {
  const SurfaceConditionContext context{.repoPath = "/Users/me/proj",
                                        .touchedFiles = {"src/a.ts", "docs/x/y.md"},
                                        .touchedSymbols = {"parseFile", "Parse"},
                                        .taskDescription = "Prepare the release notes"};
  const SurfaceConditionContext empty{};
  struct Case {
    MemoryConditionType type;
    const char* value;
    bool want;
    bool wantEmpty;
  };
  using T = MemoryConditionType;
  const Case cases[] = {
      {T::RepoPath, "/Users/**/proj", true, false},
      {T::RepoPath, "/Users/?/proj", false, false},
      {T::RepoPath, "", false, false},
      {T::SymbolTouched, "parse", false, false},
      {T::SymbolTouched, "Parse", true, false},
      {T::TaskKeyword, "Release", true, false},
      {T::TaskKeyword, "RELEASE NOTES", true, false},
      {T::TaskKeyword, "deploy", false, false},
      {T::FileGlob, "docs/**/*.md", true, false},
      {T::FileGlob, "*.swift", false, false},
      {T::FileGlob, "", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(matchesCondition(c.type, c.value, context), c.want);
    EXPECT_EQ(matchesCondition(c.type, c.value, empty), c.wantEmpty);
  }
}

TEST(MatchesTriggerKeywords, SplitsTrimsAndIgnoresCase) {
  struct Case {
    std::optional<std::string> keywords;
    std::vector<std::string> files;
    std::optional<std::string> task;
    bool want;
  };
  const Case cases[] = {
      {" Deploy , ,CI", {"scripts/ci.yml"}, std::nullopt, true},
      {" Deploy , ,CI", {}, "Time to DEPLOY", true},
      {" Deploy , ,CI", {"README.md"}, "write docs", false},
      {"\u00a0Docker\t", {"Dockerfile"}, std::nullopt, true},
      {"\nci", {"scripts/ci.yml"}, std::nullopt, false},  // line breaks are kept
      {" , ,", {"anything"}, "anything", false},
      {"", {"x"}, "x", false},
      {std::nullopt, {"x"}, "x", false},
      {"\u00c9T\u00c9", {}, "l'\u00e9t\u00e9", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keywords.value_or("<none>"));
    Memory memory;
    memory.triggerKeywords = c.keywords;
    EXPECT_EQ(matchesTriggerKeywords(memory, c.files, c.task), c.want);
  }
}

}  // namespace
}  // namespace nodrel::store
