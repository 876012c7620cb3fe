// platform/tagger.h: a linguistic tagger with the operations and tag vocabulary the memory
// store needs: word tokens with their byte ranges (ICU's word break rules), a lexical class per
// word (from a compiled-in WordNet dictionary, a closed-class word list and a few context
// rules), and personal, place and organisation names (capitalisation, a list of given names;
// weekdays and months are none), optionally joined into one token per name. Which words it
// calls nouns or names is its own judgement; it never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace nodrel::platform {

enum class TagScheme { TokenType, LexicalClass, NameType, NameTypeOrLexicalClass };

enum class Tag {
  // token types
  Word,
  Punctuation,
  Whitespace,
  Other,
  // lexical classes
  Noun,
  Verb,
  Adjective,
  Adverb,
  Pronoun,
  Determiner,
  Particle,
  Preposition,
  Number,
  Conjunction,
  Interjection,
  Classifier,
  Idiom,
  OtherWord,
  SentenceTerminator,
  OpenQuote,
  CloseQuote,
  OpenParenthesis,
  CloseParenthesis,
  WordJoiner,
  Dash,
  OtherPunctuation,
  ParagraphBreak,
  OtherWhitespace,
  // name types
  PersonalName,
  PlaceName,
  OrganizationName,
};

// "Noun", "PersonalName", ...: the tag's name, for diagnostics and tests.
std::string_view tagName(Tag tag);

enum class TokenUnit { Word = 0 };

// Option bits of enumerateTags.
inline constexpr unsigned kTaggerOmitWords = 1;
inline constexpr unsigned kTaggerOmitPunctuation = 2;
inline constexpr unsigned kTaggerOmitWhitespace = 4;
inline constexpr unsigned kTaggerOmitOther = 8;
inline constexpr unsigned kTaggerJoinNames = 16;

// Byte offsets into the tagged text, end exclusive.
struct TextRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

// One tagger keeps the analysis of its text, so it must not be used by two threads at once,
// nor be given a new text from inside its own callback.
class Tagger {
 public:
  // Tags are given only for the schemes named here; other schemes enumerate tokens untagged.
  explicit Tagger(std::initializer_list<TagScheme> schemes);

  // The text is borrowed, not copied: it must stay alive and unchanged while this tagger is
  // used with it. Setting a new text drops what was analysed of the old one.
  void setString(std::string_view text);
  std::string_view string() const { return text_; }
  TextRange wholeRange() const { return {0, text_.size()}; }

  // Calls onTag(tag, range) for each token inside `range` (clamped to the text), in text
  // order, until it returns false. The tag is empty when the scheme was not asked for.
  template <typename OnTag>
  void enumerateTags(TextRange range, TokenUnit unit, TagScheme scheme, unsigned options,
                     OnTag&& onTag) const {
    using F = std::remove_reference_t<OnTag>;
    enumerateImpl(
        range, unit, scheme, options,
        [](void* context, std::optional<Tag> tag, TextRange r) {
          return static_cast<bool>((*static_cast<F*>(context))(tag, r));
        },
        const_cast<void*>(static_cast<const void*>(&onTag)));
  }

  // One analysed token; public for the implementation's helpers only.
  struct Token {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::uint8_t kind = 0;
    Tag lexical = Tag::OtherWord;
    bool name = false;
    bool lineBreak = false;  // whitespace holding a line or paragraph separator
  };

 private:
  using Callback = bool (*)(void*, std::optional<Tag>, TextRange);
  void enumerateImpl(TextRange range, TokenUnit unit, TagScheme scheme, unsigned options,
                     Callback callback, void* context) const;
  void analyse(TextRange range) const;
  bool has(TagScheme scheme) const;

  std::vector<TagScheme> schemes_;
  std::string_view text_;
  // Analysis of the last enumerated range, kept so that a second scheme costs no second pass.
  mutable std::vector<Token> tokens_;
  mutable std::optional<TextRange> analysed_;
};

// Character classes by which the tagger's callers cut query words (Unicode properties).
bool isLetterOrDigit(char32_t c);     // a letter or a decimal digit, any script
bool isNumericCharacter(char32_t c);  // any number: digits, numerals, fractions
bool isUppercaseCharacter(char32_t c);

// True when the lexicon compiled into this build has entries (WordNet was found at build time).
bool taggerHasDictionary();

}  // namespace nodrel::platform
