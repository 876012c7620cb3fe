// platform/tagger_words.h: what the tagger's tables say of one word: its shape and dictionary
// key, the closed-class words and their cues, given and calendar names, and the WordNet senses
// of the word or of the base forms its suffix gives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/tagger.h"

namespace nodrel::platform::tagging {

// What a closed-class word says about the next open-class word.
enum Cue : std::uint8_t { kNoCue, kNounNext, kVerbNext };

struct ClosedWord {
  Tag tag;
  Cue cue;
};

using ClosedTable = std::unordered_map<std::string_view, ClosedWord>;

// Determiners, pronouns, prepositions, conjunctions, auxiliaries and modals are never nouns,
// whatever the dictionary says of "can", "will", "may" or "here".
const ClosedTable& closedWords();

// Given names that are also dictionary words ("grace", "john", "sarah"), so that one starting a
// sentence is still taken for the name it nearly always is there. Names that as often start a
// sentence as the word they spell ("Will", "Mark", "Grant", "Max", "May") are left out.
const std::unordered_set<std::string_view>& knownGivenNames();

// Weekdays and months are capitalised but name no person, place or organisation; as entities
// they would link every memory that mentions "every Monday" or "in March".
const std::unordered_set<std::string_view>& calendarNames();

// What the characters of one word say about it.
struct Shape {
  bool upperFirst = false;
  bool hasLower = false;
  bool hasDigit = false;
  bool hasUnderscore = false;
  bool camel = false;     // an upper-case letter after a lower-case one
  bool innerDot = false;  // main.py, node.js
  int letters = 0;
  bool keyValid = true;  // the lower-case key fitted the buffer
};

constexpr std::size_t kKeyCapacity = 64;

// Reads the word's shape and writes its dictionary key (lower-case, typographic apostrophe as
// ASCII) into `key`.
Shape readWord(std::string_view word, std::array<char, kKeyCapacity>& key, std::size_t& keyLength);

struct WordSense {
  std::uint8_t mask = 0;
  std::uint8_t best = 0;
  bool pluralOrThirdPerson = false;  // found only through an -s ending that fits noun and verb
};

// What the tables say of one lower-case word.
struct KnownWord {
  bool closed = false;
  ClosedWord closedWord{Tag::OtherWord, kNoCue};
  WordSense sense;
};

// English text repeats a few thousand words, so each thread remembers its recent look-ups in
// a small direct-mapped table; the dictionary behind it is large and touched at random.
KnownWord knownWord(std::string_view key);

// The lexical class of one of the lexicon's parts of speech.
Tag tagOfPos(std::uint8_t pos);

// 1st, 22nd, 103rd: digits and an ordinal suffix.
bool isOrdinal(std::string_view key);

}  // namespace nodrel::platform::tagging
