// tools/tagger_lexicon_gen.cpp: build-time generator of the tagger's dictionary (see
// platform/tagger_lexicon.h). Reads WordNet's index.noun/verb/adj/adv, the tagged-sense counts
// in cntlist.rev and the irregular forms in noun/verb/adj/adv.exc, and writes one C++ source
// file. Usage: tagger_lexicon_gen <wordnet-dir|--empty> <output.cpp|--list>. With --empty, or
// when the index files cannot be read, it writes an empty table so that the build still
// succeeds. --list prints "word best mask" lines instead, for tests.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tagger_lexicon.h"

namespace {

using nodrel::platform::kLexiconProperNoun;
using nodrel::platform::lexiconHash;

constexpr std::array<const char*, 4> kPosNames = {"noun", "verb", "adj", "adv"};

struct Word {
  std::uint8_t mask = 0;
  std::array<long, 4> counts{};       // tagged occurrences per part of speech
  std::array<long, 4> indexCounts{};  // tagsense_cnt of the index line, when cntlist is absent
};

bool isTableWord(const std::string& w) {
  if (w.empty() || w.size() > 255) return false;
  for (char c : w) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '\'';
    if (!ok) return false;
  }
  return true;
}

// One index line: lemma pos synset_cnt p_cnt [ptr_symbol...] sense_cnt tagsense_cnt offsets...
bool readIndex(const std::filesystem::path& path, int pos, std::map<std::string, Word>& words) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ' ') continue;  // licence header
    std::istringstream fields(line);
    std::string lemma, posLetter;
    long synsets = 0, pointers = 0;
    if (!(fields >> lemma >> posLetter >> synsets >> pointers)) continue;
    std::string skip;
    for (long i = 0; i < pointers; ++i) fields >> skip;
    long senses = 0, tagged = 0;
    fields >> senses >> tagged;
    if (!isTableWord(lemma)) continue;
    Word& w = words[lemma];
    w.mask |= static_cast<std::uint8_t>(1u << pos);
    w.indexCounts[pos] += tagged;
  }
  return true;
}

// sense_key sense_number tag_cnt, the key being lemma%ss_type:...
bool readCounts(const std::filesystem::path& path, std::map<std::string, Word>& words) {
  std::ifstream in(path);
  if (!in) return false;
  std::string key;
  long number = 0, count = 0;
  while (in >> key >> number >> count) {
    const auto percent = key.find('%');
    if (percent == std::string::npos || percent + 1 >= key.size()) continue;
    const std::string lemma = key.substr(0, percent);
    const int type = key[percent + 1] - '0';
    const int pos = type == 1                  ? 0
                    : type == 2                ? 1
                    : (type == 3 || type == 5) ? 2
                    : type == 4                ? 3
                                               : -1;
    if (pos < 0) continue;
    auto it = words.find(lemma);
    if (it != words.end()) it->second.counts[pos] += count;
  }
  return true;
}

// One synset line: offset lex_filenum ss_type w_cnt(hex) word lex_id [word lex_id...] ...
// The words keep their case, so a noun written only capitalised ("Lisbon", "Sarah", "Lena")
// is a proper noun, while "Grace", "March" or "Mark" also stand lower-case. Acronyms ("ADD",
// "IT") say nothing either way, and a word that is also a verb, adjective or adverb ("German")
// is not marked. Without the file, no word is marked.
void readProperNouns(const std::filesystem::path& path, std::map<std::string, Word>& words) {
  std::ifstream in(path);
  if (!in) return;
  std::map<std::string, std::pair<bool, bool>> cases;  // lower-case key: (capitalised, lower)
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ' ') continue;
    std::istringstream fields(line);
    std::string offset, lexFile, type, count;
    if (!(fields >> offset >> lexFile >> type >> count)) continue;
    const long n = std::strtol(count.c_str(), nullptr, 16);
    for (long i = 0; i < n; ++i) {
      std::string word, lexID;
      if (!(fields >> word >> lexID)) break;
      std::string key;
      bool upper = false, lower = false;
      for (char c : word) {
        if (c >= 'A' && c <= 'Z') {
          upper = true;
          c = static_cast<char>(c - 'A' + 'a');
        } else if (c >= 'a' && c <= 'z') {
          lower = true;
        }
        key += c;
      }
      if (!isTableWord(key) || (upper && !lower)) continue;
      auto& seen = cases[key];
      (upper ? seen.first : seen.second) = true;
    }
  }
  for (const auto& [key, seen] : cases) {
    auto it = words.find(key);
    if (it != words.end() && seen.first && !seen.second && it->second.mask == 1) {
      it->second.mask |= kLexiconProperNoun;
    }
  }
}

// inflected base [base...]: an irregular form takes its bases' part of speech and counts.
void readExceptions(const std::filesystem::path& path, int pos,
                    std::map<std::string, Word>& words) {
  std::ifstream in(path);
  if (!in) return;
  std::string line;
  std::vector<std::pair<std::string, std::string>> pairs;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string form, base;
    if (!(fields >> form >> base)) continue;
    if (isTableWord(form)) pairs.emplace_back(form, base);
  }
  for (const auto& [form, base] : pairs) {
    const auto bit = static_cast<std::uint8_t>(1u << pos);
    auto baseIt = words.find(base);
    const long baseCount = baseIt == words.end() ? 0 : baseIt->second.counts[pos];
    const long baseIndexCount = baseIt == words.end() ? 0 : baseIt->second.indexCounts[pos];
    Word& w = words[form];
    if (w.mask & bit) continue;
    w.mask |= bit;
    w.counts[pos] += baseCount;
    w.indexCounts[pos] += baseIndexCount;
  }
}

std::uint8_t bestOf(const Word& w, bool haveCounts) {
  const auto& counts = haveCounts ? w.counts : w.indexCounts;
  int best = -1;
  for (int pos = 0; pos < 4; ++pos) {  // strict > keeps the earlier: ties go to the noun
    if (!(w.mask & (1u << pos))) continue;
    if (best < 0 || counts[pos] > counts[best]) best = pos;
  }
  return best < 0 ? 0 : static_cast<std::uint8_t>(1u << best);
}

void appendEscaped(std::string& out, unsigned char c) {
  if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"' && c != '?') {
    out += static_cast<char>(c);
  } else {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\%03o", c);
    out += buf;
  }
}

int writeTable(const std::filesystem::path& output, const std::map<std::string, Word>& words,
               bool haveCounts) {
  std::string blob;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> offsets;  // hash, offset + 1
  for (const auto& [word, w] : words) {
    if (w.mask == 0) continue;
    offsets.emplace_back(lexiconHash(word), static_cast<std::uint32_t>(blob.size() + 1));
    blob += static_cast<char>(word.size());
    blob += static_cast<char>(w.mask);
    blob += static_cast<char>(bestOf(w, haveCounts));
    blob += word;
  }
  std::size_t slotCount = 1;
  while (slotCount < offsets.size() * 3) slotCount <<= 1;
  std::vector<std::uint32_t> slots(slotCount, 0);
  for (const auto& [hash, offset] : offsets) {
    std::size_t i = hash & (slotCount - 1);
    while (slots[i] != 0) i = (i + 1) & (slotCount - 1);
    slots[i] = offset;
  }

  std::string text;
  text +=
      "// Generated by tools/tagger_lexicon_gen.cpp from the WordNet index files. Do not edit.\n";
  text += "#include \"platform/tagger_lexicon.h\"\n\nnamespace nodrel::platform {\nnamespace {\n\n";
  text += "constexpr char kWords[] =\n    \"";
  std::size_t column = 0;
  for (unsigned char c : blob) {
    appendEscaped(text, c);
    if (++column == 96) {
      text += "\"\n    \"";
      column = 0;
    }
  }
  text += "\";\n\nconstexpr std::uint32_t kSlots[] = {\n";
  for (std::size_t i = 0; i < slots.size(); ++i) {
    text += std::to_string(slots[i]);
    text += (i + 1) % 16 == 0 ? ",\n" : ",";
  }
  text += "\n};\n\n}  // namespace\n\n";
  text += "const LexiconTable& taggerLexicon() {\n";
  text += "  static constexpr LexiconTable table{kWords, sizeof(kWords) - 1, kSlots, " +
          std::to_string(slotCount) + ", " + std::to_string(offsets.size()) + "};\n";
  text += "  return table;\n}\n\n}  // namespace nodrel::platform\n";

  // Written beside the target and renamed, so an interrupted build leaves no half table.
  const std::filesystem::path temporary = output.string() + ".tmp";
  std::filesystem::create_directories(output.parent_path());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      std::cerr << "tagger_lexicon_gen: cannot write " << temporary << "\n";
      return 1;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, output, error);
  if (error) {
    std::cerr << "tagger_lexicon_gen: cannot rename to " << output << ": " << error.message()
              << "\n";
    return 1;
  }
  std::cout << "tagger lexicon: " << offsets.size() << " words\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: tagger_lexicon_gen <wordnet-dir|--empty> <output.cpp|--list>\n";
    return 2;
  }
  const std::string source = argv[1];
  const std::filesystem::path output = argv[2];
  std::map<std::string, Word> words;
  bool haveCounts = false;
  if (source != "--empty") {
    const std::filesystem::path dir = source;
    bool complete = true;
    for (int pos = 0; pos < 4; ++pos) {
      complete = readIndex(dir / ("index." + std::string(kPosNames[pos])), pos, words) && complete;
    }
    if (!complete) {
      std::cerr << "tagger_lexicon_gen: WordNet index files missing in " << dir
                << "; writing an empty table\n";
      words.clear();
    } else {
      haveCounts = readCounts(dir / "cntlist.rev", words);
      readProperNouns(dir / "data.noun", words);
      for (int pos = 0; pos < 4; ++pos) {
        readExceptions(dir / (std::string(kPosNames[pos]) + ".exc"), pos, words);
      }
    }
  }
  if (output == "--list") {
    for (const auto& [word, w] : words) {
      std::cout << word << ' ' << int(bestOf(w, haveCounts)) << ' ' << int(w.mask) << '\n';
    }
    return 0;
  }
  return writeTable(output, words, haveCounts);
}
