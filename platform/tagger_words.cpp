#include "platform/tagger_words.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>

#include <unicode/utf8.h>

#include "platform/tagger_characters.h"
#include "platform/tagger_lexicon.h"

namespace nodrel::platform::tagging {
namespace {

void addWords(ClosedTable& table, std::initializer_list<std::string_view> words, Tag tag,
              Cue cue = kNoCue) {
  for (auto w : words) table.insert_or_assign(w, ClosedWord{tag, cue});
}

// WordNet's detachment rules: suffix, replacement, part of speech.
struct Detachment {
  std::string_view suffix;
  std::string_view replacement;
  std::uint8_t pos;
};
constexpr std::array<Detachment, 20> kDetachments = {{
    {"s", "", kLexiconNoun},        {"ses", "s", kLexiconNoun},      {"xes", "x", kLexiconNoun},
    {"zes", "z", kLexiconNoun},     {"ches", "ch", kLexiconNoun},    {"shes", "sh", kLexiconNoun},
    {"men", "man", kLexiconNoun},   {"ies", "y", kLexiconNoun},      {"s", "", kLexiconVerb},
    {"ies", "y", kLexiconVerb},     {"es", "e", kLexiconVerb},       {"es", "", kLexiconVerb},
    {"ed", "e", kLexiconVerb},      {"ed", "", kLexiconVerb},        {"ing", "e", kLexiconVerb},
    {"ing", "", kLexiconVerb},      {"er", "", kLexiconAdjective},   {"est", "", kLexiconAdjective},
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
    const LexiconEntry e =
        lookupLexicon(table, std::string_view(base.data(), stem.size() + add.size()));
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
  sense.pluralOrThirdPerson =
      key.ends_with("s") && (sense.mask & kLexiconNoun) && (sense.mask & kLexiconVerb);
  return sense;
}

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

}  // namespace

// Determiners, pronouns, prepositions, conjunctions, auxiliaries and modals are never nouns,
// whatever the dictionary says of "can", "will", "may" or "here".
const ClosedTable& closedWords() {
  static const ClosedTable table = [] {
    ClosedTable t;
    addWords(
        t, {"the",  "a",    "an",  "this", "these", "those",   "my",      "your", "our", "their",
            "his",  "her",  "its", "each", "every", "another", "some",    "any",  "no",  "several",
            "many", "much", "few", "both", "all",   "either",  "neither", "whose"},
        Tag::Determiner, kNounNext);
    addWords(t, {"that", "which", "what", "such", "half", "enough"}, Tag::Determiner);
    addWords(t, {"me",         "mine",     "myself",    "you",        "yours",    "yourself",
                 "yourselves", "him",      "himself",   "hers",       "herself",  "it",
                 "itself",     "us",       "ours",      "ourselves",  "them",     "theirs",
                 "themselves", "who",      "whom",      "whoever",    "whatever", "whichever",
                 "whomever",   "someone",  "somebody",  "something",  "anyone",   "anybody",
                 "anything",   "everyone", "everybody", "everything", "nobody",   "nothing",
                 "none",       "one",      "ones",      "oneself",    "i'm",      "you're",
                 "he's",       "she's",    "it's",      "we're",      "they're",  "that's",
                 "there's",    "here's",   "what's",    "who's",      "where's",  "i've",
                 "you've",     "we've",    "they've"},
             Tag::Pronoun);
    addWords(t, {"i",      "we",    "they",  "he",      "she",    "i'll",  "i'd",
                 "you'll", "you'd", "he'll", "he'd",    "she'll", "she'd", "it'll",
                 "it'd",   "we'll", "we'd",  "they'll", "they'd", "let's"},
             Tag::Pronoun, kVerbNext);
    addWords(t, {"about",  "above",      "across",  "after",      "against", "along",   "amid",
                 "amidst", "among",      "amongst", "around",     "as",      "at",      "before",
                 "behind", "below",      "beneath", "beside",     "besides", "between", "beyond",
                 "by",     "despite",    "down",    "during",     "except",  "for",     "from",
                 "in",     "inside",     "into",    "like",       "near",    "of",      "off",
                 "on",     "onto",       "out",     "outside",    "over",    "past",    "per",
                 "since",  "than",       "through", "throughout", "till",    "toward",  "towards",
                 "under",  "underneath", "unlike",  "until",      "up",      "upon",    "via",
                 "with",   "within",     "without", "versus",     "vs"},
             Tag::Preposition);
    addWords(t, {"to"}, Tag::Preposition, kVerbNext);
    addWords(t,
             {"and", "but", "or", "nor", "so", "yet", "because", "although", "though", "while",
              "whereas", "if", "unless", "whether", "once", "whenever", "wherever"},
             Tag::Conjunction);
    addWords(t,
             {"be", "am", "is", "are", "was", "were", "been", "being", "have", "has", "had",
              "having", "do", "does", "did"},
             Tag::Verb);
    addWords(t, {"will",     "would",     "shall",   "should",   "can",      "could",
                 "may",      "might",     "must",    "ought",    "cannot",   "don't",
                 "doesn't",  "didn't",    "isn't",   "aren't",   "wasn't",   "weren't",
                 "haven't",  "hasn't",    "hadn't",  "won't",    "wouldn't", "can't",
                 "couldn't", "shouldn't", "mustn't", "mightn't", "needn't",  "shan't"},
             Tag::Verb, kVerbNext);
    addWords(t, {"not",   "very",   "too",   "also",      "just",    "only",    "even",  "ever",
                 "never", "always", "often", "sometimes", "usually", "already", "still", "again",
                 "then",  "there",  "here",  "now",       "when",    "where",   "why",   "how"},
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
      "aaron",    "abigail",   "adam",      "adrian",    "ahmed",    "aisha",     "alan",
      "albert",   "alex",      "alexander", "alexandra", "alice",    "alicia",    "alison",
      "amanda",   "amelia",    "amir",      "amy",       "ana",      "andrea",    "andrew",
      "angela",   "anna",      "anne",      "anthony",   "anton",    "arthur",    "ben",
      "benjamin", "bernard",   "beth",      "bob",       "brian",    "bruce",     "carlos",
      "carmen",   "caroline",  "catherine", "charles",   "charlie",  "charlotte", "chloe",
      "chris",    "christian", "christina", "christine", "claire",   "clara",     "claude",
      "colin",    "daniel",    "david",     "deborah",   "diana",    "diego",     "dmitri",
      "edward",   "elena",     "eli",       "elizabeth", "ella",     "emily",     "emma",
      "eric",     "erik",      "esther",    "eva",       "eve",      "felix",     "fiona",
      "francis",  "fred",      "gabriel",   "george",    "grace",    "hannah",    "harry",
      "helen",    "henry",     "hugo",      "ian",       "igor",     "irene",     "isaac",
      "isabel",   "ivan",      "jacob",     "james",     "jane",     "jason",     "jennifer",
      "jenny",    "jeremy",    "jessica",   "joan",      "joe",      "john",      "jonathan",
      "jose",     "joseph",    "joshua",    "juan",      "judith",   "julia",     "julian",
      "julie",    "karen",     "kate",      "katherine", "kevin",    "laura",     "leo",
      "leon",     "linda",     "lisa",      "louis",     "louise",   "lucas",     "lucy",
      "luis",     "luke",      "maria",     "marie",     "martha",   "martin",    "mary",
      "matthew",  "michael",   "michelle",  "miguel",    "mohammed", "monica",    "nancy",
      "natalie",  "nathan",    "nicholas",  "nick",      "nina",     "noah",      "oliver",
      "olivia",   "oscar",     "owen",      "patrick",   "paul",     "paula",     "peter",
      "philip",   "rachel",    "rebecca",   "richard",   "robert",   "robin",     "roger",
      "ruth",     "ryan",      "sam",       "samuel",    "sandra",   "sara",      "sarah",
      "sean",     "simon",     "sophia",    "sophie",    "stephen",  "steve",     "steven",
      "susan",    "thomas",    "tim",       "timothy",   "tom",      "tony",      "victor",
      "victoria", "vincent",   "walter",    "william",   "zoe"};
  return names;
}

// Weekdays and months are capitalised but name no person, place or organisation; as entities
// they would link every memory that mentions "every Monday" or "in March".
const std::unordered_set<std::string_view>& calendarNames() {
  static const std::unordered_set<std::string_view> names = {
      "monday",  "tuesday",   "wednesday",  "thursday",  "friday",  "saturday",  "sunday",
      "mondays", "tuesdays",  "wednesdays", "thursdays", "fridays", "saturdays", "sundays",
      "january", "february",  "march",      "april",     "may",     "june",      "july",
      "august",  "september", "october",    "november",  "december"};
  return names;
}

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
      if (keyLength < kKeyCapacity)
        key[keyLength++] = static_cast<char>(l);
      else
        shape.keyValid = false;
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
    case kLexiconVerb:
      return Tag::Verb;
    case kLexiconAdjective:
      return Tag::Adjective;
    case kLexiconAdverb:
      return Tag::Adverb;
    default:
      return Tag::Noun;
  }
}

bool isOrdinal(std::string_view key) {
  std::size_t digits = 0;
  while (digits < key.size() && key[digits] >= '0' && key[digits] <= '9') ++digits;
  if (digits == 0) return false;
  const std::string_view rest = key.substr(digits);
  return rest == "st" || rest == "nd" || rest == "rd" || rest == "th";
}

}  // namespace nodrel::platform::tagging
