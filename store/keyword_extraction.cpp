#include "store/keyword_extraction.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "platform/tagger.h"
#include "platform/text.h"

namespace nodrel::store {
namespace {

using platform::Tag;
using platform::Tagger;
using platform::TagScheme;
using platform::TextRange;

constexpr unsigned kKeywordOptions = platform::kTaggerOmitPunctuation |
                                     platform::kTaggerOmitWhitespace |
                                     platform::kTaggerOmitOther;  // 14
constexpr unsigned kEntityOptions = platform::kTaggerOmitPunctuation |
                                    platform::kTaggerOmitWhitespace |
                                    platform::kTaggerJoinNames;  // 22

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string lower(std::string_view text) {
  return isAscii(text) ? platform::asciiLowercase(text) : platform::lowercase(text);
}

std::size_t characters(std::string_view text) {
  return isAscii(text) ? text.size() : platform::graphemeCount(text);
}

// Only spaces, tabs and line breaks between two nouns keep them in one phrase.
bool onlyWhitespace(std::string_view gap) {
  if (isAscii(gap)) {
    return std::all_of(gap.begin(), gap.end(), [](char c) {
      return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    });
  }
  const std::u32string codePoints = platform::toCodePoints(gap);
  return std::all_of(codePoints.begin(), codePoints.end(),
                     [](char32_t c) { return platform::isUnicodeWhitespace(c); });
}

bool isName(std::optional<Tag> tag) {
  return tag == Tag::PersonalName || tag == Tag::PlaceName || tag == Tag::OrganizationName;
}

// Counts in first-seen order, so that equal counts come out in text order.
template <typename Value>
class Counter {
 public:
  Value* find(const std::string& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  void add(std::string key, Value value) {
    index_.emplace(key, entries_.size());
    entries_.emplace_back(std::move(key), std::move(value));
  }
  std::vector<std::pair<std::string, Value>>& entries() { return entries_; }

 private:
  std::unordered_map<std::string, std::size_t> index_;
  std::vector<std::pair<std::string, Value>> entries_;
};

std::vector<std::string> keywordsOf(const Tagger& tagger) {
  const std::string_view text = tagger.string();
  std::vector<TextRange> nouns;
  tagger.enumerateTags(tagger.wholeRange(), platform::TokenUnit::Word, TagScheme::LexicalClass,
                       kKeywordOptions, [&](std::optional<Tag> tag, TextRange range) {
                         if (tag == Tag::Noun) nouns.push_back(range);
                         return true;
                       });
  Counter<int> counts;
  auto close = [&](const std::string& phrase) {
    std::string key = lower(phrase);
    if (characters(key) < 3 || keywordStopWords().count(key)) return;
    if (int* count = counts.find(key)) {
      ++*count;
    } else {
      counts.add(std::move(key), 1);
    }
  };
  std::string phrase;
  for (std::size_t i = 0; i < nouns.size(); ++i) {
    const std::string_view noun = text.substr(nouns[i].begin, nouns[i].end - nouns[i].begin);
    if (i > 0) {
      const std::string_view gap = text.substr(nouns[i - 1].end, nouns[i].begin - nouns[i - 1].end);
      if (onlyWhitespace(gap)) {
        phrase += ' ';
        phrase += noun;
        continue;
      }
      close(phrase);
    }
    phrase.assign(noun);
  }
  if (!nouns.empty()) close(phrase);

  auto& entries = counts.entries();
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<std::string> out;
  out.reserve(entries.size());
  for (auto& [key, count] : entries) out.push_back(std::move(key));
  return out;
}

std::vector<std::string> entitiesOf(const Tagger& tagger) {
  const std::string_view text = tagger.string();
  struct Seen {
    std::string spelling;
    int count = 0;
  };
  Counter<Seen> counts;
  tagger.enumerateTags(tagger.wholeRange(), platform::TokenUnit::Word, TagScheme::NameType,
                       kEntityOptions, [&](std::optional<Tag> tag, TextRange range) {
                         if (!isName(tag)) return true;
                         const std::string_view name =
                             text.substr(range.begin, range.end - range.begin);
                         if (characters(name) < 2) return true;
                         std::string key = lower(name);
                         if (Seen* seen = counts.find(key)) {
                           ++seen->count;
                         } else {
                           counts.add(std::move(key), Seen{std::string(name), 1});
                         }
                         return true;
                       });
  auto& entries = counts.entries();
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.second.count > b.second.count; });
  std::vector<std::string> out;
  out.reserve(entries.size());
  for (auto& entry : entries) out.push_back(std::move(entry.second.spelling));
  return out;
}

}  // namespace

const std::unordered_set<std::string>& keywordStopWords() {
  static const std::unordered_set<std::string> words = {
      "the",   "and",    "for",   "that",  "this",  "with", "from",  "not",   "but",    "are",
      "was",   "has",    "have",  "had",   "been",  "will", "would", "could", "should", "may",
      "might", "can",    "its",   "their", "there", "they", "when",  "where", "what",   "which",
      "who",   "how",    "why",   "then",  "than",  "into", "onto",  "upon",  "over",   "under",
      "about", "before", "after", "any",   "all",   "some", "one",   "two",   "new",    "old",
      "use",   "used",   "just",  "also",  "more",  "very", "such",  "each",  "even",   "both",
      "only",  "same",   "way",   "back",  "down",  "need", "want",  "good",  "well"};
  return words;
}

std::vector<std::string> extractKeywords(std::string_view text) {
  if (text.empty()) return {};
  Tagger tagger({TagScheme::LexicalClass});
  tagger.setString(text);
  return keywordsOf(tagger);
}

std::vector<std::string> extractEntities(std::string_view text) {
  if (text.empty()) return {};
  Tagger tagger({TagScheme::NameType});
  tagger.setString(text);
  return entitiesOf(tagger);
}

TextAnalysis analyzeText(std::string_view text) {
  if (text.empty()) return {};
  // One tagger for both schemes: the text is tokenised and classified once.
  Tagger tagger({TagScheme::LexicalClass, TagScheme::NameType});
  tagger.setString(text);
  return {keywordsOf(tagger), entitiesOf(tagger)};
}

}  // namespace nodrel::store
