#include "platform/tagger.h"

#include <algorithm>
#include <array>
#include <climits>
#include <string>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/tagger_characters.h"
#include "platform/tagger_lexicon.h"
#include "platform/tagger_tokens.h"
#include "platform/tagger_words.h"

namespace nodrel::platform {

using namespace tagging;

namespace {

bool isPossessive(std::string_view word) {
  return (word.size() > 2 && word.ends_with("'s")) ||
         (word.size() > 4 && word.ends_with("\xE2\x80\x99s"));
}

// Splits a trailing possessive 's off its word, so that "the user's config" has the noun user.
void splitPossessives(std::string_view text, std::vector<Tagger::Token>& tokens) {
  const ClosedTable& closed = closedWords();
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    Tagger::Token& t = tokens[i];
    if (t.kind != kWordKind) continue;
    const std::string_view word = text.substr(t.begin, t.end - t.begin);
    if (!isPossessive(word)) continue;
    std::array<char, kKeyCapacity> key{};
    std::size_t keyLength = 0;
    readWord(word, key, keyLength);
    if (closed.count(std::string_view(key.data(), keyLength))) continue;  // it's, that's
    const std::uint32_t cut = t.end - (word.ends_with("'s") ? 2 : 4);
    Tagger::Token suffix = t;
    suffix.begin = cut;
    t.end = cut;
    tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(i) + 1, suffix);
    ++i;
  }
}

void classify(std::string_view text, std::vector<Tagger::Token>& tokens) {
  const bool haveDictionary = taggerLexicon().entryCount > 0;
  bool sentenceStart = true;
  bool nounPhrase = false;  // after a determiner or a technical noun, through adjectives
  bool verbNext = false;    // after "to", a modal or a subject pronoun, through adverbs
  bool previousNoun = false;
  bool previousSpace = true;
  std::array<char, kKeyCapacity> keyBuffer{};
  for (auto& t : tokens) {
    const std::string_view word = text.substr(t.begin, t.end - t.begin);
    if (t.kind == kSpaceKind) {
      t.lexical = t.lineBreak ? Tag::ParagraphBreak : Tag::OtherWhitespace;
      if (t.lineBreak) sentenceStart = true;
      previousSpace = true;
      continue;
    }
    if (t.kind == kPunctuationKind || t.kind == kOtherKind) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(word.data());
      const auto length = static_cast<int32_t>(word.size());
      UChar32 first = 0;
      bool ends = false;
      for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (i == 0 || first == 0) first = c < 0 ? 0xFFFD : c;
        if (endsSentence(c)) ends = true;
      }
      t.lexical = t.kind == kOtherKind ? Tag::OtherWord : punctuationTag(first, previousSpace);
      if (ends) sentenceStart = true;
      // A phrase does not run through punctuation; a cue does not outlive it.
      nounPhrase = verbNext = previousNoun = false;
      previousSpace = false;
      continue;
    }
    previousSpace = false;
    std::size_t keyLength = 0;
    const Shape shape = readWord(word, keyBuffer, keyLength);
    const std::string_view key(keyBuffer.data(), shape.keyValid ? keyLength : 0);
    const bool atStart = sentenceStart;
    sentenceStart = false;

    if (t.kind == kNumberKind || isOrdinal(key)) {
      t.lexical = Tag::Number;
      verbNext = previousNoun = false;
      continue;
    }
    const KnownWord known = key.empty() ? KnownWord{} : knownWord(key);
    if (known.closed) {
      t.lexical = known.closedWord.tag;
      if (t.lexical != Tag::Adverb) {  // "should not run", "the very long file"
        nounPhrase = known.closedWord.cue == kNounNext;
        verbNext = known.closedWord.cue == kVerbNext;
      }
      previousNoun = false;
      continue;
    }
    const bool codeLike = shape.hasUnderscore || (shape.hasDigit && shape.letters > 0) ||
                          shape.camel || shape.innerDot;
    const WordSense& sense = known.sense;
    // A capitalised word is a name unless it merely starts a sentence ("Use", "Always",
    // "Yesterday"): there only a word the dictionary does not know, a proper noun of the
    // dictionary ("Lena", "Lisbon") or a known given name ("Grace") is one. Acronyms (API, SQL)
    // name technologies far more often than organisations. A word that is no name does not join
    // the name after it: "Yesterday Mariana Okafor" names Mariana Okafor.
    if (shape.upperFirst && shape.letters >= 2 && shape.hasLower && !calendarNames().count(key)) {
      t.name = !atStart || (haveDictionary && sense.mask == 0) ||
               (sense.mask & kLexiconProperNoun) != 0 || knownGivenNames().count(key) != 0;
    }
    Tag tag;
    bool technical = false;
    if (t.name || codeLike) {
      tag = Tag::Noun;
      technical = true;
    } else if (sense.mask == 0) {
      tag = Tag::Noun;  // unknown words of developer text are mostly names of things
      technical = true;
    } else if (verbNext && (sense.mask & kLexiconVerb)) {
      tag = Tag::Verb;
    } else if (nounPhrase && sense.best == kLexiconVerb && (sense.mask & kLexiconNoun) &&
               !(previousNoun && sense.pluralOrThirdPerson)) {
      // "the config file", "the build": nouns the dictionary counts mostly as verbs. After a
      // noun an -s form stays a verb: "the server crashes".
      tag = Tag::Noun;
    } else {
      tag = tagOfPos(sense.best);
    }
    t.lexical = tag;
    if (tag == Tag::Noun) {
      nounPhrase = nounPhrase || technical;
      previousNoun = true;
    } else if (tag == Tag::Adjective) {
      previousNoun = false;
    } else if (tag == Tag::Adverb) {
      previousNoun = false;
      continue;  // keeps a pending verb cue
    } else {
      nounPhrase = previousNoun = false;
    }
    verbNext = false;
  }
}

}  // namespace

std::string_view tagName(Tag tag) {
  static constexpr std::array<std::string_view, 31> kNames = {"Word",
                                                              "Punctuation",
                                                              "Whitespace",
                                                              "Other",
                                                              "Noun",
                                                              "Verb",
                                                              "Adjective",
                                                              "Adverb",
                                                              "Pronoun",
                                                              "Determiner",
                                                              "Particle",
                                                              "Preposition",
                                                              "Number",
                                                              "Conjunction",
                                                              "Interjection",
                                                              "Classifier",
                                                              "Idiom",
                                                              "OtherWord",
                                                              "SentenceTerminator",
                                                              "OpenQuote",
                                                              "CloseQuote",
                                                              "OpenParenthesis",
                                                              "CloseParenthesis",
                                                              "WordJoiner",
                                                              "Dash",
                                                              "OtherPunctuation",
                                                              "ParagraphBreak",
                                                              "OtherWhitespace",
                                                              "PersonalName",
                                                              "PlaceName",
                                                              "OrganizationName"};
  const auto index = static_cast<std::size_t>(tag);
  return index < kNames.size() ? kNames[index] : std::string_view("OtherWord");
}

bool isLetterOrDigit(char32_t c) {
  return u_isalpha(static_cast<UChar32>(c)) || u_isdigit(static_cast<UChar32>(c));
}

bool isNumericCharacter(char32_t c) {
  return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0;
}

bool isUppercaseCharacter(char32_t c) { return u_isUUppercase(static_cast<UChar32>(c)); }

bool taggerHasDictionary() { return taggerLexicon().entryCount > 0; }

Tagger::Tagger(std::initializer_list<TagScheme> schemes) : schemes_(schemes) {}

void Tagger::setString(std::string_view text) {
  text_ = text;
  tokens_.clear();
  analysed_.reset();
}

bool Tagger::has(TagScheme scheme) const {
  return std::find(schemes_.begin(), schemes_.end(), scheme) != schemes_.end();
}

void Tagger::analyse(TextRange range) const {
  if (analysed_ && *analysed_ == range) return;
  tokens_.clear();
  tokens_.reserve((range.end - range.begin) / 3 + 4);  // English averages well over 3 bytes a token
  tokenize(text_.substr(range.begin, range.end - range.begin), range.begin, tokens_);
  splitPossessives(text_, tokens_);
  classify(text_, tokens_);
  analysed_ = range;
}

void Tagger::enumerateImpl(TextRange range, TokenUnit, TagScheme scheme, unsigned options,
                           Callback callback, void* context) const {
  range.begin = std::min(range.begin, text_.size());
  range.end = std::clamp(range.end, range.begin, text_.size());
  // Token offsets are 32-bit; a text beyond 2 GiB is tagged up to that point only.
  range.end = std::min<std::size_t>(range.end, range.begin + INT32_MAX);
  if (range.end > UINT32_MAX) range.end = UINT32_MAX;
  analyse(range);

  const bool tagged = has(scheme);
  const bool joinNames = (options & kTaggerJoinNames) != 0 && scheme != TagScheme::TokenType;
  auto tagFor = [&](const Token& t) -> std::optional<Tag> {
    if (!tagged) return std::nullopt;
    const bool word = t.kind == kWordKind || t.kind == kNumberKind;
    switch (scheme) {
      case TagScheme::TokenType:
        return word                         ? Tag::Word
               : t.kind == kPunctuationKind ? Tag::Punctuation
               : t.kind == kSpaceKind       ? Tag::Whitespace
                                            : Tag::Other;
      case TagScheme::LexicalClass:
        return t.lexical;
      case TagScheme::NameType:
        if (t.name) return Tag::PersonalName;
        return word ? Tag::OtherWord : t.lexical;
      case TagScheme::NameTypeOrLexicalClass:
        return t.name ? Tag::PersonalName : t.lexical;
    }
    return std::nullopt;
  };
  auto omitted = [&](const Token& t) {
    switch (t.kind) {
      case kWordKind:
      case kNumberKind:
        return (options & kTaggerOmitWords) != 0;
      case kPunctuationKind:
        return (options & kTaggerOmitPunctuation) != 0;
      case kSpaceKind:
        return (options & kTaggerOmitWhitespace) != 0;
      default:
        return (options & kTaggerOmitOther) != 0;
    }
  };

  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    const Token& t = tokens_[i];
    if (omitted(t)) continue;
    TextRange r{t.begin, t.end};
    if (joinNames && t.name) {
      // A run of names separated only by spaces on one line is one name: "Ada Lovelace".
      std::size_t last = i;
      for (std::size_t j = i + 1; j + 1 < tokens_.size(); j += 2) {
        const Token& gap = tokens_[j];
        if (gap.kind != kSpaceKind || gap.lineBreak || !tokens_[j + 1].name) break;
        last = j + 1;
      }
      r.end = tokens_[last].end;
      i = last;
    }
    if (!callback(context, tagFor(t), r)) return;
  }
}

}  // namespace nodrel::platform
