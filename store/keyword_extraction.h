// store/keyword_extraction.h: the vocabulary by which memories are linked: a body's noun
// phrases (lower-cased, counted) and the names of people, places and organisations it mentions.
// Pure functions of their input on the platform tagger; no database, never throw.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace nodrel::store {

// The distinct noun phrases of the text, lower-cased, most frequent first (ties in no fixed
// order). Phrases of fewer than 3 characters and lone stop words are dropped.
std::vector<std::string> extractKeywords(std::string_view text);

// The distinct names in the text, spelled as first seen, most frequent first; distinctness
// ignores case. Names of one character are dropped.
std::vector<std::string> extractEntities(std::string_view text);

// Both lists of one text, from a single tagging pass; the same as calling the two above.
struct TextAnalysis {
  std::vector<std::string> keywords;
  std::vector<std::string> entities;

  friend bool operator==(const TextAnalysis&, const TextAnalysis&) = default;
};
TextAnalysis analyzeText(std::string_view text);

// The 69 lower-case words that are never a keyword on their own. Built once, then read-only.
const std::unordered_set<std::string>& keywordStopWords();

}  // namespace nodrel::store
