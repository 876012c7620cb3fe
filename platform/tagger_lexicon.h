// platform/tagger_lexicon.h: the dictionary behind the tagger's lexical classes, a table from
// each single-word English lemma (and irregular inflected form) to the parts of speech it can
// take and the one it takes most often. The table is generated into the build tree from the
// WordNet index files and compiled in, so nothing is read at run time; a build without WordNet
// gets an empty table. The hash is shared with the generator, which lays out the slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nodrel::platform {

// Part-of-speech bits of an entry's mask; the most frequent one is stored beside them.
enum LexiconPos : std::uint8_t {
  kLexiconNoun = 1,
  kLexiconVerb = 2,
  kLexiconAdjective = 4,
  kLexiconAdverb = 8,
  // Not a part of speech: the word is a noun that the dictionary writes only capitalised.
  kLexiconProperNoun = 16,
};

struct LexiconEntry {
  std::uint8_t mask = 0;  // every part of speech the word can take, and kLexiconProperNoun
  std::uint8_t best = 0;  // the most frequent one (one bit of the mask)
};

// Layout: `words` holds the entries one after the other as [length][mask][best][bytes...];
// `slots` is an open-addressing table (linear probing, size a power of two) of entry offsets
// plus one, 0 for an empty slot.
struct LexiconTable {
  const char* words;
  std::size_t wordsSize;
  const std::uint32_t* slots;
  std::size_t slotCount;
  std::size_t entryCount;
};

// FNV-1a over the bytes, with a final mix so that the low bits index well.
constexpr std::uint64_t lexiconHash(std::string_view key) {
  std::uint64_t h = 1469598103934665603ULL;
  for (char c : key) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

// The generated table (never null; possibly empty).
const LexiconTable& taggerLexicon();

// The entry of a lower-case word, or nothing (mask 0).
inline LexiconEntry lookupLexicon(const LexiconTable& table, std::string_view word) {
  if (table.entryCount == 0 || word.empty() || word.size() > 255) return {};
  const std::size_t mask = table.slotCount - 1;
  for (std::size_t i = lexiconHash(word) & mask;; i = (i + 1) & mask) {
    const std::uint32_t slot = table.slots[i];
    if (slot == 0) return {};
    const char* entry = table.words + (slot - 1);
    const auto length = static_cast<unsigned char>(entry[0]);
    if (length == word.size() && std::string_view(entry + 3, length) == word) {
      return {static_cast<std::uint8_t>(entry[1]), static_cast<std::uint8_t>(entry[2])};
    }
  }
}

}  // namespace nodrel::platform
