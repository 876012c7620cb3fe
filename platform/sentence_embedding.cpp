#include "platform/sentence_embedding.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include <libstemmer.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "platform/word_breaker.h"

namespace nodrel::platform {
namespace {

// Function words carry no topic; left in, they would make every pair of sentences similar.
const std::unordered_set<std::string_view>& stopWords() {
  static const std::unordered_set<std::string_view> words = {
      "a",        "about",     "above",     "after",   "again",      "against", "all",    "also",
      "am",       "an",        "and",       "any",     "are",        "as",      "at",     "be",
      "because",  "been",      "before",    "being",   "below",      "between", "both",   "but",
      "by",       "can",       "could",     "did",     "do",         "does",    "doing",  "don't",
      "down",     "during",    "each",      "either",  "else",       "ever",    "every",  "few",
      "for",      "from",      "further",   "had",     "has",        "have",    "having", "he",
      "her",      "here",      "hers",      "herself", "him",        "himself", "his",    "how",
      "i",        "if",        "in",        "into",    "is",         "it",      "it's",   "its",
      "itself",   "just",      "let",       "let's",   "may",        "me",      "might",  "more",
      "most",     "must",      "my",        "myself",  "no",         "nor",     "not",    "now",
      "of",       "off",       "on",        "once",    "only",       "or",      "other",  "ought",
      "our",      "ours",      "ourselves", "out",     "over",       "own",     "please", "same",
      "shall",    "she",       "should",    "so",      "some",       "such",    "than",   "that",
      "the",      "their",     "theirs",    "them",    "themselves", "then",    "there",  "these",
      "they",     "this",      "those",     "through", "to",         "too",     "under",  "until",
      "up",       "upon",      "us",        "very",    "via",        "was",     "we",     "were",
      "what",     "when",      "where",     "which",   "while",      "who",     "whom",   "whose",
      "why",      "will",      "with",      "would",   "yet",        "you",     "your",   "yours",
      "yourself", "yourselves"};
  return words;
}

struct StemmerDeleter {
  void operator()(sb_stemmer* s) const { sb_stemmer_delete(s); }
};

// A Snowball stemmer keeps per-call state, so each thread has its own.
sb_stemmer* englishStemmer() {
  thread_local std::unique_ptr<sb_stemmer, StemmerDeleter> stemmer(
      sb_stemmer_new("english", "UTF_8"));
  return stemmer.get();
}

std::string stem(std::string_view word) {
  sb_stemmer* s = englishStemmer();
  if (s == nullptr) return std::string(word);
  const sb_symbol* out = sb_stemmer_stem(s, reinterpret_cast<const sb_symbol*>(word.data()),
                                         static_cast<int>(word.size()));
  if (out == nullptr) return std::string(word);
  return std::string(reinterpret_cast<const char*>(out),
                     static_cast<std::size_t>(sb_stemmer_length(s)));
}

void appendCodePoint(std::string& out, UChar32 c) {
  char buf[U8_MAX_LENGTH];
  int32_t n = 0;
  UBool error = false;
  U8_APPEND(reinterpret_cast<std::uint8_t*>(buf), n, U8_MAX_LENGTH, c, error);
  if (!error) out.append(buf, static_cast<std::size_t>(n));
}

// One word: its lower-case form and, for an identifier, the lower-case parts it is made of.
struct Word {
  std::string whole;
  std::vector<std::string> parts;  // empty unless the word is an identifier
};

Word readWord(std::string_view text) {
  Word word;
  std::string part;
  bool split = false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  UChar32 previous = 0;
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    UChar32 next = 0;
    if (i < length) {
      int32_t j = i;
      U8_NEXT(bytes, j, length, next);
    }
    const UChar32 lower = c == 0x2019 ? '\'' : u_tolower(c);
    if (c == '_') {
      split = true;
      if (!part.empty()) word.parts.push_back(std::move(part));
      part.clear();
      previous = c;
      continue;  // parse_config and parseConfig name one identifier
    }
    // parseConfig: lower then upper; HTTPServer: the last upper of a run before a lower.
    const bool boundary =
        u_isupper(c) && previous != 0 &&
        (u_islower(previous) || (u_isupper(previous) && next > 0 && u_islower(next)));
    if (boundary) {
      split = true;
      if (!part.empty()) word.parts.push_back(std::move(part));
      part.clear();
    }
    appendCodePoint(part, lower);
    appendCodePoint(word.whole, lower);
    previous = c;
  }
  if (!part.empty()) word.parts.push_back(std::move(part));
  if (!split || word.parts.size() < 2) word.parts.clear();
  return word;
}

std::vector<Word> words(std::string_view text) {
  std::vector<Word> out;
  icu::BreakIterator* it = threadWordBreaker();
  if (it == nullptr || text.empty() || text.size() > INT32_MAX) return out;
  UErrorCode status = U_ZERO_ERROR;
  UText ut = UTEXT_INITIALIZER;
  utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) return out;
  it->setText(&ut, status);
  utext_close(&ut);
  if (U_FAILURE(status)) return out;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    if (it->getRuleStatus() < UBRK_WORD_NONE_LIMIT) continue;
    bool alnum = false;
    for (int32_t i = start; i < end && !alnum;) {
      UChar32 c;
      U8_NEXT(bytes, i, length, c);
      alnum = c >= 0 && u_isalnum(c);
    }
    if (alnum) out.push_back(readWord(text.substr(start, end - start)));
  }
  return out;
}

// FNV-1a 64 with a final mix: fixed forever, as stored vectors depend on it.
std::uint64_t featureHash(std::string_view kind, std::string_view feature) {
  std::uint64_t h = 1469598103934665603ULL;
  auto add = [&](std::string_view bytes) {
    for (char c : bytes) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ULL;
    }
  };
  add(kind);
  add(feature);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

void addFeature(std::vector<double>& v, std::string_view kind, std::string_view feature,
                double weight) {
  const std::uint64_t h = featureHash(kind, feature);
  const std::size_t index = h % SentenceEmbedding::kDimension;
  v[index] += (h >> 63) ? -weight : weight;
}

constexpr double kStemWeight = 1.0;
constexpr double kPairWeight = 0.5;

}  // namespace

std::optional<SentenceEmbedding> SentenceEmbedding::forLanguage(std::string_view language) {
  if (language == "en" || language.starts_with("en-") || language.starts_with("en_")) {
    return SentenceEmbedding();
  }
  return std::nullopt;
}

std::optional<std::vector<double>> SentenceEmbedding::vector(std::string_view text) const {
  const std::vector<Word> all = words(text);
  if (all.empty()) return std::nullopt;
  const auto& stop = stopWords();
  bool anyContent = false;
  for (const auto& w : all) anyContent = anyContent || !stop.count(w.whole);

  std::vector<double> v(kDimension, 0.0);
  std::vector<std::string> sequence;  // stems in text order, identifiers by their parts
  for (const auto& w : all) {
    // A text of function words only ("what is this") still gets a vector from them.
    if (anyContent && stop.count(w.whole)) continue;
    if (w.parts.empty()) {
      sequence.push_back(stem(w.whole));
      continue;
    }
    addFeature(v, "w:", stem(w.whole), kStemWeight);
    for (const auto& part : w.parts) sequence.push_back(stem(part));
  }
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    addFeature(v, "w:", sequence[i], kStemWeight);
    if (i + 1 < sequence.size()) {
      addFeature(v, "p:", sequence[i] + ' ' + sequence[i + 1], kPairWeight);
    }
  }
  double norm = 0.0;
  for (double x : v) norm += x * x;
  norm = std::sqrt(norm);
  if (norm > 0.0) {
    for (double& x : v) x /= norm;
  }
  return v;
}

}  // namespace nodrel::platform
