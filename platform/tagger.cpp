#include "platform/tagger.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "platform/tagger_lexicon.h"

namespace nodrel::platform {
namespace {

enum Kind : std::uint8_t { kWordKind, kNumberKind, kPunctuationKind, kSpaceKind, kOtherKind };

// What a closed-class word says about the next open-class word.
enum Cue : std::uint8_t { kNoCue, kNounNext, kVerbNext };

struct ClosedWord {
  Tag tag;
  Cue cue;
};

using ClosedTable = std::unordered_map<std::string_view, ClosedWord>;

void addWords(ClosedTable& table, std::initializer_list<std::string_view> words, Tag tag,
              Cue cue = kNoCue) {
  for (auto w : words) table.insert_or_assign(w, ClosedWord{tag, cue});
}

// Determiners, pronouns, prepositions, conjunctions, auxiliaries and modals are never nouns,
// whatever the dictionary says of "can", "will", "may" or "here".
const ClosedTable& closedWords() {
  static const ClosedTable table = [] {
    ClosedTable t;
    addWords(t, {"the", "a", "an", "this", "these", "those", "my", "your", "our", "their", "his",
                 "her", "its", "each", "every", "another", "some", "any", "no", "several",
                 "many", "much", "few", "both", "all", "either", "neither", "whose"},
             Tag::Determiner, kNounNext);
    addWords(t, {"that", "which", "what", "such", "half", "enough"}, Tag::Determiner);
    addWords(t, {"me", "mine", "myself", "you", "yours", "yourself", "yourselves", "him",
                 "himself", "hers", "herself", "it", "itself", "us", "ours", "ourselves", "them",
                 "theirs", "themselves", "who", "whom", "whoever", "whatever", "whichever",
                 "whomever", "someone", "somebody", "something", "anyone", "anybody", "anything",
                 "everyone", "everybody", "everything", "nobody", "nothing", "none", "one",
                 "ones", "oneself", "i'm", "you're", "he's", "she's", "it's", "we're",
                 "they're", "that's", "there's", "here's", "what's", "who's", "where's",
                 "i've", "you've", "we've", "they've"},
             Tag::Pronoun);
    addWords(t, {"i", "we", "they", "he", "she", "i'll", "i'd", "you'll", "you'd", "he'll",
                 "he'd", "she'll", "she'd", "it'll", "it'd", "we'll", "we'd", "they'll",
                 "they'd", "let's"},
             Tag::Pronoun, kVerbNext);
    addWords(t, {"about", "above", "across", "after", "against", "along", "amid", "amidst",
                 "among", "amongst", "around", "as", "at", "before", "behind", "below",
                 "beneath", "beside", "besides", "between", "beyond", "by", "despite", "down",
                 "during", "except", "for", "from", "in", "inside", "into", "like", "near", "of",
                 "off", "on", "onto", "out", "outside", "over", "past", "per", "since", "than",
                 "through", "throughout", "till", "toward", "towards", "under", "underneath",
                 "unlike", "until", "up", "upon", "via", "with", "within", "without", "versus",
                 "vs"},
             Tag::Preposition);
    addWords(t, {"to"}, Tag::Preposition, kVerbNext);
    addWords(t, {"and", "but", "or", "nor", "so", "yet", "because", "although", "though",
                 "while", "whereas", "if", "unless", "whether", "once", "whenever", "wherever"},
             Tag::Conjunction);
    addWords(t, {"be", "am", "is", "are", "was", "were", "been", "being", "have", "has", "had",
                 "having", "do", "does", "did"},
             Tag::Verb);
    addWords(t, {"will", "would", "shall", "should", "can", "could", "may", "might", "must",
                 "ought", "cannot", "don't", "doesn't", "didn't", "isn't", "aren't", "wasn't",
                 "weren't", "haven't", "hasn't", "hadn't", "won't", "wouldn't", "can't",
                 "couldn't", "shouldn't", "mustn't", "mightn't", "needn't", "shan't"},
             Tag::Verb, kVerbNext);
    addWords(t, {"not", "very", "too", "also", "just", "only", "even", "ever", "never",
                 "always", "often", "sometimes", "usually", "already", "still", "again", "then",
                 "there", "here", "now", "when", "where", "why", "how"},
             Tag::Adverb);
    addWords(t, {"yes", "ok", "okay", "hello", "hi", "thanks"}, Tag::Interjection);
    addWords(t, {"please"}, Tag::Interjection, kVerbNext);
    addWords(t, {"e.g", "i.e", "etc", "'s"}, Tag::Particle);
    return t;
  }();
  return table;
}

// Given names that are also dictionary words ("grace", "john", "sarah"), so that one starting a
// sentence is still taken for the name it nearly always is there. Names that as often start a
// sentence as the word they spell ("Will", "Mark", "Grant", "Max", "May") are left out.
const std::unordered_set<std::string_view>& knownGivenNames() {
  static const std::unordered_set<std::string_view> names = {
      "aaron", "abigail", "adam", "adrian", "ahmed", "aisha", "alan", "albert", "alex",
      "alexander", "alexandra", "alice", "alicia", "alison", "amanda", "amelia", "amir", "amy",
      "ana", "andrea", "andrew", "angela", "anna", "anne", "anthony", "anton", "arthur", "ben",
      "benjamin", "bernard", "beth", "bob", "brian", "bruce", "carlos", "carmen", "caroline",
      "catherine", "charles", "charlie", "charlotte", "chloe", "chris", "christian", "christina",
      "christine", "claire", "clara", "claude", "colin", "daniel", "david", "deborah", "diana",
      "diego", "dmitri", "edward", "elena", "eli", "elizabeth", "ella", "emily", "emma", "eric",
      "erik", "esther", "eva", "eve", "felix", "fiona", "francis", "fred", "gabriel", "george",
      "grace", "hannah", "harry", "helen", "henry", "hugo", "ian", "igor", "irene", "isaac",
      "isabel", "ivan", "jacob", "james", "jane", "jason", "jennifer", "jenny", "jeremy", "jessica",
      "joan", "joe", "john", "jonathan", "jose", "joseph", "joshua", "juan", "judith", "julia",
      "julian", "julie", "karen", "kate", "katherine", "kevin", "laura", "leo", "leon", "linda",
      "lisa", "louis", "louise", "lucas", "lucy", "luis", "luke", "maria", "marie", "martha",
      "martin", "mary", "matthew", "michael", "michelle", "miguel", "mohammed", "monica", "nancy",
      "natalie", "nathan", "nicholas", "nick", "nina", "noah", "oliver", "olivia", "oscar", "owen",
      "patrick", "paul", "paula", "peter", "philip", "rachel", "rebecca", "richard", "robert",
      "robin", "roger", "ruth", "ryan", "sam", "samuel", "sandra", "sara", "sarah", "sean", "simon",
      "sophia", "sophie", "stephen", "steve", "steven", "susan", "thomas", "tim", "timothy", "tom",
      "tony", "victor", "victoria", "vincent", "walter", "william", "zoe"};
  return names;
}

// Weekdays and months are capitalised but name no person, place or organisation; as entities
// they would link every memory that mentions "every Monday" or "in March".
const std::unordered_set<std::string_view>& calendarNames() {
  static const std::unordered_set<std::string_view> names = {
      "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday",
      "mondays", "tuesdays", "wednesdays", "thursdays", "fridays", "saturdays", "sundays",
      "january", "february", "march", "april", "may", "june", "july", "august", "september",
      "october", "november", "december"};
  return names;
}

// The word break iterator is costly to create and cheap to reset, so each thread keeps one.
icu::BreakIterator* wordBreaker() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) it.reset();
    return it;
  }();
  return iterator.get();
}

// Character classes, with a table for ASCII: the tagger's inner loops meet little else.
enum CharClass : std::uint8_t {
  kAlpha = 1, kDigit = 2, kUpper = 4, kLower = 8, kPunct = 16, kSpace = 32,
};

constexpr std::array<std::uint8_t, 128> kAsciiClasses = [] {
  std::array<std::uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    std::uint8_t k = 0;
    if (c >= 'a' && c <= 'z') k |= kAlpha | kLower;
    if (c >= 'A' && c <= 'Z') k |= kAlpha | kUpper;
    if (c >= '0' && c <= '9') k |= kDigit;
    if ((c >= 0x09 && c <= 0x0D) || c == ' ') k |= kSpace;
    // General category P: the ASCII symbols $ + < = > ^ ` | ~ are S, not P.
    if (std::string_view("!\"#%&'()*,-./:;?@[\\]_{}").find(static_cast<char>(c)) !=
        std::string_view::npos) {
      k |= kPunct;
    }
    t[static_cast<std::size_t>(c)] = k;
  }
  return t;
}();

std::uint8_t charClass(UChar32 c) {
  if (c >= 0 && c < 0x80) return kAsciiClasses[static_cast<std::size_t>(c)];
  std::uint8_t k = 0;
  if (u_isalpha(c)) k |= kAlpha;
  if (u_isdigit(c)) k |= kDigit;
  if (u_isupper(c) || u_istitle(c)) k |= kUpper;
  if (u_islower(c)) k |= kLower;
  if (u_ispunct(c)) k |= kPunct;
  if (u_isUWhiteSpace(c)) k |= kSpace;
  return k;
}

UChar32 lowerOf(UChar32 c) {
  if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
  if (c < 0x80) return c;
  return c == 0x2019 ? '\'' : u_tolower(c);
}

bool isLineSeparator(UChar32 c) {
  return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}

Tag punctuationTag(UChar32 c, bool afterSpace) {
  switch (c) {
    case '.': case '!': case '?': case 0x2026: case 0x3002:
      return Tag::SentenceTerminator;
    case '(': case '[': case '{':
      return Tag::OpenParenthesis;
    case ')': case ']': case '}':
      return Tag::CloseParenthesis;
    case '-': case 0x2010: case 0x2012: case 0x2013: case 0x2014: case 0x2015:
      return Tag::Dash;
    case 0x201C: case 0x2018: case 0x00AB:
      return Tag::OpenQuote;
    case 0x201D: case 0x2019: case 0x00BB:
      return Tag::CloseQuote;
    case '"': case '\'':
      return afterSpace ? Tag::OpenQuote : Tag::CloseQuote;
    default:
      return Tag::OtherPunctuation;
  }
}

// Punctuation after which the next word starts a sentence (or a list item, or a label's text).
bool endsSentence(UChar32 c) {
  return c == '.' || c == '!' || c == '?' || c == ':' || c == ';' || c == ']' || c == 0x2026 ||
         c == 0x3002;
}

void tokenize(std::string_view text, std::size_t base, std::vector<Tagger::Token>& out) {
  icu::BreakIterator* it = wordBreaker();
  if (it == nullptr || text.empty()) return;
  UErrorCode status = U_ZERO_ERROR;
  UText ut = UTEXT_INITIALIZER;
  utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) return;
  it->setText(&ut, status);  // the iterator keeps its own shallow clone
  utext_close(&ut);
  if (U_FAILURE(status)) return;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    Tagger::Token token;
    token.begin = static_cast<std::uint32_t>(base + start);
    token.end = static_cast<std::uint32_t>(base + end);
    const int32_t rule = it->getRuleStatus();
    bool letter = false, letterOrDigit = false, punctuation = false, allSpace = true,
         lineBreak = false;
    for (int32_t i = start; i < end && i < length;) {
      UChar32 c;
      U8_NEXT(bytes, i, length, c);
      if (c < 0) c = 0xFFFD;
      const std::uint8_t k = charClass(c);
      if (k & kAlpha) letter = true;
      if (k & (kAlpha | kDigit)) letterOrDigit = true;
      if (k & kPunct) punctuation = true;
      if (!(k & kSpace)) allSpace = false;
      if (isLineSeparator(c)) lineBreak = true;
    }
    if (rule >= UBRK_WORD_NONE_LIMIT && letterOrDigit) {
      token.kind = letter ? kWordKind : kNumberKind;  // parseConfig_v2 is a word
    } else if (allSpace) {
      token.kind = kSpaceKind;
      token.lineBreak = lineBreak;
    } else if (punctuation) {
      token.kind = kPunctuationKind;
    } else {
      token.kind = kOtherKind;
    }
    out.push_back(token);
  }
}

// What the characters of one word say about it.
struct Shape {
  bool upperFirst = false;
  bool hasLower = false;
  bool hasDigit = false;
  bool hasUnderscore = false;
  bool camel = false;     // an upper-case letter after a lower-case one
  bool innerDot = false;  // main.py, node.js
  int letters = 0;
  bool keyValid = true;   // the lower-case key fitted the buffer
};

constexpr std::size_t kKeyCapacity = 64;

// Reads the word's shape and writes its dictionary key (lower-case, typographic apostrophe as
// ASCII) into `key`.
Shape readWord(std::string_view word, std::array<char, kKeyCapacity>& key, std::size_t& keyLength) {
  Shape shape;
  keyLength = 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(word.data());
  const auto length = static_cast<int32_t>(word.size());
  bool first = true, sawLower = false;
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    const std::uint8_t k = charClass(c);
    const bool upper = (k & kUpper) != 0;
    const bool lower = (k & kLower) != 0;
    if (k & kAlpha) ++shape.letters;
    if (first) shape.upperFirst = upper;
    if (lower) {
      shape.hasLower = true;
      sawLower = true;
    }
    if (upper && sawLower) shape.camel = true;
    if (k & kDigit) shape.hasDigit = true;
    if (c == '_') shape.hasUnderscore = true;
    if (c == '.' && i < length) shape.innerDot = true;
    first = false;
    const UChar32 l = lowerOf(c);
    if (l < 0x80) {
      if (keyLength < kKeyCapacity) key[keyLength++] = static_cast<char>(l);
      else shape.keyValid = false;
    } else {
      const std::size_t need = static_cast<std::size_t>(U8_LENGTH(l));
      if (keyLength + need <= kKeyCapacity) {
        std::size_t at = keyLength;
        UBool error = false;
        U8_APPEND(reinterpret_cast<std::uint8_t*>(key.data()), at, kKeyCapacity, l, error);
        keyLength = at;
        if (error) shape.keyValid = false;
      } else {
        shape.keyValid = false;
      }
    }
  }
  return shape;
}

struct WordSense {
  std::uint8_t mask = 0;
  std::uint8_t best = 0;
  bool pluralOrThirdPerson = false;  // found only through an -s ending that fits noun and verb
};

// WordNet's detachment rules: suffix, replacement, part of speech.
struct Detachment {
  std::string_view suffix;
  std::string_view replacement;
  std::uint8_t pos;
};
constexpr std::array<Detachment, 20> kDetachments = {{
    {"s", "", kLexiconNoun},     {"ses", "s", kLexiconNoun},  {"xes", "x", kLexiconNoun},
    {"zes", "z", kLexiconNoun},  {"ches", "ch", kLexiconNoun}, {"shes", "sh", kLexiconNoun},
    {"men", "man", kLexiconNoun}, {"ies", "y", kLexiconNoun}, {"s", "", kLexiconVerb},
    {"ies", "y", kLexiconVerb},  {"es", "e", kLexiconVerb},   {"es", "", kLexiconVerb},
    {"ed", "e", kLexiconVerb},   {"ed", "", kLexiconVerb},    {"ing", "e", kLexiconVerb},
    {"ing", "", kLexiconVerb},   {"er", "", kLexiconAdjective}, {"est", "", kLexiconAdjective},
    {"er", "e", kLexiconAdjective}, {"est", "e", kLexiconAdjective},
}};

WordSense detach(const LexiconTable& table, std::string_view key);

WordSense lookupWord(const LexiconTable& table, std::string_view key) {
  const LexiconEntry e = lookupLexicon(table, key);
  if (e.mask == 0) return detach(table, key);
  WordSense sense{e.mask, e.best};
  // "works", "lives": a plural noun in the dictionary, but far more often a verb's -s form.
  if (e.best == kLexiconNoun && key.size() > 3 && key.ends_with("s")) {
    const WordSense inflected = detach(table, key);
    if (inflected.best == kLexiconVerb) {
      sense.mask |= kLexiconVerb;
      sense.best = kLexiconVerb;
      sense.pluralOrThirdPerson = true;
    }
  }
  return sense;
}

// The parts of speech of an inflected form, from the base forms the suffix rules give.
WordSense detach(const LexiconTable& table, std::string_view key) {
  WordSense sense;
  std::uint8_t preferred = 0;
  std::array<char, kKeyCapacity + 4> base{};
  auto tryBase = [&](std::string_view stem, std::string_view add, std::uint8_t pos) {
    if (stem.size() < 2 || stem.size() + add.size() > base.size()) return;
    std::copy(stem.begin(), stem.end(), base.begin());
    std::copy(add.begin(), add.end(), base.begin() + stem.size());
    const LexiconEntry e = lookupLexicon(table, std::string_view(base.data(), stem.size() + add.size()));
    if (!(e.mask & pos)) return;
    sense.mask |= pos;
    if (e.best == pos && !(preferred & pos)) preferred |= pos;
  };
  for (const auto& d : kDetachments) {
    if (key.size() <= d.suffix.size() || !key.ends_with(d.suffix)) continue;
    const std::string_view stem = key.substr(0, key.size() - d.suffix.size());
    tryBase(stem, d.replacement, d.pos);
    // running, stopped: a doubled final consonant before -ing or -ed
    if (d.replacement.empty() && (d.suffix == "ing" || d.suffix == "ed") && stem.size() >= 3 &&
        stem[stem.size() - 1] == stem[stem.size() - 2]) {
      tryBase(stem.substr(0, stem.size() - 1), "", d.pos);
    }
  }
  if (sense.mask == 0) return sense;
  const std::uint8_t order[] = {kLexiconNoun, kLexiconVerb, kLexiconAdjective};
  for (auto pos : order) {
    if (preferred & pos) {
      sense.best = pos;
      break;
    }
  }
  if (sense.best == 0) {
    for (auto pos : order) {
      if (sense.mask & pos) {
        sense.best = pos;
        break;
      }
    }
  }
  sense.pluralOrThirdPerson = key.ends_with("s") && (sense.mask & kLexiconNoun) &&
                              (sense.mask & kLexiconVerb);
  return sense;
}

// What the tables say of one lower-case word.
struct KnownWord {
  bool closed = false;
  ClosedWord closedWord{Tag::OtherWord, kNoCue};
  WordSense sense;
};

KnownWord lookUpKnownWord(std::string_view key) {
  KnownWord known;
  const ClosedTable& closed = closedWords();
  if (auto it = closed.find(key); it != closed.end()) {
    known.closed = true;
    known.closedWord = it->second;
    return known;
  }
  known.sense = lookupWord(taggerLexicon(), key);
  return known;
}

// English text repeats a few thousand words, so each thread remembers its recent look-ups in
// a small direct-mapped table; the dictionary behind it is large and touched at random.
KnownWord knownWord(std::string_view key) {
  struct Slot {
    std::uint8_t length = 0xFF;
    char key[31];
    KnownWord known;
  };
  constexpr std::size_t kSlots = 4096;
  thread_local std::unique_ptr<Slot[]> cache;
  if (key.size() >= sizeof(Slot::key)) return lookUpKnownWord(key);
  if (!cache) cache = std::make_unique<Slot[]>(kSlots);
  Slot& slot = cache[lexiconHash(key) & (kSlots - 1)];
  if (slot.length == key.size() && std::memcmp(slot.key, key.data(), key.size()) == 0) {
    return slot.known;
  }
  slot.known = lookUpKnownWord(key);
  slot.length = static_cast<std::uint8_t>(key.size());
  std::memcpy(slot.key, key.data(), key.size());
  return slot.known;
}

Tag tagOfPos(std::uint8_t pos) {
  switch (pos) {
    case kLexiconVerb: return Tag::Verb;
    case kLexiconAdjective: return Tag::Adjective;
    case kLexiconAdverb: return Tag::Adverb;
    default: return Tag::Noun;
  }
}

bool isOrdinal(std::string_view key) {
  std::size_t digits = 0;
  while (digits < key.size() && key[digits] >= '0' && key[digits] <= '9') ++digits;
  if (digits == 0) return false;
  const std::string_view rest = key.substr(digits);
  return rest == "st" || rest == "nd" || rest == "rd" || rest == "th";
}

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
  static constexpr std::array<std::string_view, 31> kNames = {
      "Word", "Punctuation", "Whitespace", "Other", "Noun", "Verb", "Adjective", "Adverb",
      "Pronoun", "Determiner", "Particle", "Preposition", "Number", "Conjunction",
      "Interjection", "Classifier", "Idiom", "OtherWord", "SentenceTerminator", "OpenQuote",
      "CloseQuote", "OpenParenthesis", "CloseParenthesis", "WordJoiner", "Dash",
      "OtherPunctuation", "ParagraphBreak", "OtherWhitespace", "PersonalName", "PlaceName",
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
        return word ? Tag::Word
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
      case kWordKind: case kNumberKind: return (options & kTaggerOmitWords) != 0;
      case kPunctuationKind: return (options & kTaggerOmitPunctuation) != 0;
      case kSpaceKind: return (options & kTaggerOmitWhitespace) != 0;
      default: return (options & kTaggerOmitOther) != 0;
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
