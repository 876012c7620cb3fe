// codeintel/parsers/line_matching.h: the machinery every language parser shares: patterns
// applied to one line at a time, the two rules that find where a declaration's block ends,
// and the small text steps of turning a match into a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codeintel/parsed_file.h"
#include "platform/regex.h"

namespace nodrel::codeintel::parsers {

// One match of a pattern on one line. groups[0] is the whole match; a group that took no part
// in the match is absent.
struct LineMatch {
  std::int64_t line = 1;  // 1-based
  std::string text;       // group 0
  std::vector<std::optional<std::string>> groups;

  // The group, or absent when the pattern has no such group or it did not match.
  const std::optional<std::string>& group(std::size_t index) const;
  friend bool operator==(const LineMatch&, const LineMatch&) = default;
};

// A pattern compiled once. `anyOf` lists literals of which every match must contain at least
// one; a line holding none of them is passed over without running the pattern, which gives the
// same matches for a fraction of the time. Leave it empty for case-insensitive patterns.
class LinePattern {
 public:
  LinePattern(std::string_view pattern, unsigned options, std::vector<std::string> anyOf = {});

  bool valid() const { return regex_.has_value(); }
  // Every non-overlapping match in each line alone, line by line; empty when the pattern did
  // not compile.
  std::vector<LineMatch> matches(std::span<const std::string_view> lines) const;
  void appendMatches(std::string_view line, std::int64_t lineNumber,
                     std::vector<LineMatch>& out) const;
  // The first match in `line`, if any.
  std::optional<LineMatch> firstMatch(std::string_view line, std::int64_t lineNumber = 1) const;

 private:
  std::optional<platform::Regex> regex_;
  std::vector<std::string> anyOf_;
};

// Group 1 of each match that has it, in order, duplicates kept.
std::vector<std::string> firstGroups(const std::vector<LineMatch>& matches);

// The source text as the parsers read it: a leading byte-order mark dropped, invalid UTF-8
// replaced by U+FFFD (so every extracted name is valid text), split into lines. Block ends are
// answered from tables built on first use, so a file with many declarations costs O(log n)
// per declaration instead of a rescan of the rest of the file.
class SourceText {
 public:
  explicit SourceText(std::string_view content);
  SourceText(const SourceText&) = delete;
  SourceText& operator=(const SourceText&) = delete;

  const std::vector<std::string_view>& lines() const { return lines_; }
  std::int64_t braceBlockEnd(std::int64_t startLine);
  std::int64_t pythonBlockEnd(std::int64_t startLine);

 private:
  // First index at or after `from` whose value is at most `limit`.
  class FirstAtMost {
   public:
    explicit FirstAtMost(std::vector<std::int64_t> values);
    std::optional<std::size_t> find(std::size_t from, std::int64_t limit) const;

   private:
    std::optional<std::size_t> firstBlock(std::size_t node, std::size_t lo, std::size_t hi,
                                          std::size_t from, std::int64_t limit) const;
    std::vector<std::int64_t> values_;
    std::size_t leaves_ = 1;
    std::vector<std::int64_t> tree_;  // minimum of each block, as a segment tree
  };

  std::string repaired_;
  std::vector<std::string_view> lines_;
  // Brace rule: depth prefix sums and the next line holding "{".
  std::optional<FirstAtMost> depthAfter_;
  std::vector<std::int64_t> prefixDepth_;
  std::vector<std::int64_t> nextOpening_;
  // Indentation rule: width of each code line, "infinite" for blank and comment lines.
  std::optional<FirstAtMost> codeWidth_;
};

// Width of the leading indentation: a space counts 1, a tab 4, up to the first other
// character.
std::int64_t indentationWidth(std::string_view line);

// The last line of the block a declaration on `startLine` (1-based) opens: where the braces
// counted from the start of that line first balance after one has opened, else `startLine`.
std::int64_t braceBlockEndLine(std::span<const std::string_view> lines, std::int64_t startLine);
// The line before the first later code line indented no deeper than the declaration, else the
// last line.
std::int64_t pythonBlockEndLine(std::span<const std::string_view> lines, std::int64_t startLine);

// Pattern-driven helpers over their whole text, with each distinct pattern compiled once per
// thread. A pattern that does not compile gives nothing.
std::vector<LineMatch> regexLineMatches(std::string_view pattern, std::string_view content,
                                        bool caseInsensitive);
std::vector<std::string> regexFirstGroups(std::string_view pattern, std::string_view content,
                                          bool caseInsensitive);

// A match's text trimmed of horizontal white space: a declaration's signature.
std::string signatureOf(const LineMatch& match);
// A supertype list split at commas, each piece trimmed of white space and line breaks, empty
// pieces dropped.
std::vector<std::string> splitSupertypes(std::string_view list);
// The values with repeats dropped, each kept at its first occurrence.
std::vector<std::string> withoutRepeats(const std::vector<std::string>& values);

enum class BlockRule { Braces, Indentation };
// One FunctionDecl per match whose group 1 is present.
void appendFunctions(const std::vector<LineMatch>& matches, BlockRule rule, SourceText& text,
                     ParsedFile& out);
std::int64_t blockEnd(BlockRule rule, SourceText& text, std::int64_t startLine);

}  // namespace nodrel::codeintel::parsers
