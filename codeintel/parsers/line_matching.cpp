#include "codeintel/parsers/line_matching.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "codeintel/line_text.h"
#include "platform/text.h"

namespace nodrel::codeintel::parsers {
namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kBlockSize = 32;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool holdsAny(std::string_view line, const std::vector<std::string>& literals) {
  for (const auto& literal : literals) {
    if (line.find(literal) != std::string_view::npos) return true;
  }
  return false;
}

const LinePattern& cachedPattern(std::string_view pattern, bool caseInsensitive) {
  thread_local std::unordered_map<std::string, std::unique_ptr<LinePattern>> cache;
  std::string key(caseInsensitive ? "i:" : "s:");
  key += pattern;
  auto& slot = cache[key];
  if (!slot) {
    slot = std::make_unique<LinePattern>(pattern,
                                         caseInsensitive ? platform::kRegexCaseInsensitive : 0u);
  }
  return *slot;
}

}  // namespace

const std::optional<std::string>& LineMatch::group(std::size_t index) const {
  static const std::optional<std::string> kAbsent;
  return index < groups.size() ? groups[index] : kAbsent;
}

LinePattern::LinePattern(std::string_view pattern, unsigned options, std::vector<std::string> anyOf)
    : regex_(platform::makeRegex(pattern, options)), anyOf_(std::move(anyOf)) {}

namespace {

LineMatch toLineMatch(const platform::RegexMatch& m, std::string_view line,
                      std::int64_t lineNumber) {
  LineMatch match;
  match.line = lineNumber;
  match.groups.reserve(m.groups.size());
  for (std::size_t g = 0; g < m.groups.size(); ++g) {
    if (m.has(g)) {
      match.groups.emplace_back(m.str(line, g));
    } else {
      match.groups.emplace_back(std::nullopt);
    }
  }
  if (match.group(0)) match.text = *match.group(0);
  return match;
}

}  // namespace

void LinePattern::appendMatches(std::string_view line, std::int64_t lineNumber,
                                std::vector<LineMatch>& out) const {
  if (!regex_) return;
  if (!anyOf_.empty() && !holdsAny(line, anyOf_)) return;
  regex_->forEachMatch(line, [&](const platform::RegexMatch& m) {
    out.push_back(toLineMatch(m, line, lineNumber));
    return true;
  });
}

std::optional<LineMatch> LinePattern::firstMatch(std::string_view line,
                                                 std::int64_t lineNumber) const {
  if (!regex_) return std::nullopt;
  if (!anyOf_.empty() && !holdsAny(line, anyOf_)) return std::nullopt;
  auto m = regex_->firstMatch(line);
  if (!m) return std::nullopt;
  return toLineMatch(*m, line, lineNumber);
}

std::vector<LineMatch> LinePattern::matches(std::span<const std::string_view> lines) const {
  std::vector<LineMatch> out;
  if (!regex_) return out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    appendMatches(lines[i], static_cast<std::int64_t>(i) + 1, out);
  }
  return out;
}

std::vector<std::string> firstGroups(const std::vector<LineMatch>& matches) {
  std::vector<std::string> out;
  for (const auto& m : matches) {
    if (const auto& g = m.group(1)) out.push_back(*g);
  }
  return out;
}

SourceText::FirstAtMost::FirstAtMost(std::vector<std::int64_t> values)
    : values_(std::move(values)) {
  const std::size_t blocks = (values_.size() + kBlockSize - 1) / kBlockSize;
  while (leaves_ < blocks) leaves_ *= 2;
  tree_.assign(2 * leaves_, kNever);
  for (std::size_t i = 0; i < values_.size(); ++i) {
    auto& slot = tree_[leaves_ + i / kBlockSize];
    slot = std::min(slot, values_[i]);
  }
  for (std::size_t node = leaves_ - 1; node >= 1; --node) {
    tree_[node] = std::min(tree_[2 * node], tree_[2 * node + 1]);
  }
}

std::optional<std::size_t> SourceText::FirstAtMost::firstBlock(std::size_t node, std::size_t lo,
                                                               std::size_t hi, std::size_t from,
                                                               std::int64_t limit) const {
  if (hi <= from || tree_[node] > limit) return std::nullopt;
  if (hi - lo == 1) return lo;
  const std::size_t mid = lo + (hi - lo) / 2;
  if (auto left = firstBlock(2 * node, lo, mid, from, limit)) return left;
  return firstBlock(2 * node + 1, mid, hi, from, limit);
}

std::optional<std::size_t> SourceText::FirstAtMost::find(std::size_t from,
                                                         std::int64_t limit) const {
  if (from >= values_.size()) return std::nullopt;
  const std::size_t firstBlockEnd = std::min(values_.size(), (from / kBlockSize + 1) * kBlockSize);
  for (std::size_t i = from; i < firstBlockEnd; ++i) {
    if (values_[i] <= limit) return i;
  }
  auto block = firstBlock(1, 0, leaves_, from / kBlockSize + 1, limit);
  if (!block) return std::nullopt;
  const std::size_t end = std::min(values_.size(), (*block + 1) * kBlockSize);
  for (std::size_t i = *block * kBlockSize; i < end; ++i) {
    if (values_[i] <= limit) return i;
  }
  return std::nullopt;
}

SourceText::SourceText(std::string_view content) {
  if (content.starts_with(kByteOrderMark)) content.remove_prefix(kByteOrderMark.size());
  if (!platform::isValidUtf8(content)) {
    repaired_ = platform::repairUtf8(content);
    content = repaired_;
  }
  lines_ = splitLines(content);
}

std::int64_t SourceText::braceBlockEnd(std::int64_t startLine) {
  const auto count = static_cast<std::int64_t>(lines_.size());
  if (startLine < 1 || startLine > count) return startLine;
  if (!depthAfter_) {
    // prefixDepth_[j] is the depth after line j counted from the start of the file, so the
    // depth after line j counted from line s is prefixDepth_[j] - prefixDepth_[s - 1].
    prefixDepth_.assign(lines_.size() + 1, 0);
    nextOpening_.assign(lines_.size() + 2, 0);
    std::vector<bool> opens(lines_.size() + 1, false);
    for (std::size_t j = 1; j <= lines_.size(); ++j) {
      std::int64_t delta = 0;
      for (char c : lines_[j - 1]) {
        if (c == '{') {
          ++delta;
          opens[j] = true;
        } else if (c == '}') {
          --delta;
        }
      }
      prefixDepth_[j] = prefixDepth_[j - 1] + delta;
    }
    nextOpening_[lines_.size() + 1] = 0;
    for (std::size_t j = lines_.size(); j >= 1; --j) {
      nextOpening_[j] = opens[j] ? static_cast<std::int64_t>(j) : nextOpening_[j + 1];
    }
    depthAfter_.emplace(prefixDepth_);
  }
  const std::int64_t opening = nextOpening_[static_cast<std::size_t>(startLine)];
  if (opening == 0) return startLine;
  auto end = depthAfter_->find(static_cast<std::size_t>(opening),
                               prefixDepth_[static_cast<std::size_t>(startLine - 1)]);
  return end ? static_cast<std::int64_t>(*end) : startLine;
}

std::int64_t SourceText::pythonBlockEnd(std::int64_t startLine) {
  const auto count = static_cast<std::int64_t>(lines_.size());
  if (startLine < 1 || startLine >= count) return startLine;
  if (!codeWidth_) {
    std::vector<std::int64_t> widths(lines_.size() + 1, kNever);
    for (std::size_t j = 1; j <= lines_.size(); ++j) {
      const auto trimmed = trimHorizontalWhitespace(lines_[j - 1]);
      if (trimmed.empty() || trimmed.front() == '#') continue;
      widths[j] = indentationWidth(lines_[j - 1]);
    }
    codeWidth_.emplace(std::move(widths));
  }
  const std::int64_t header = indentationWidth(lines_[static_cast<std::size_t>(startLine - 1)]);
  auto next = codeWidth_->find(static_cast<std::size_t>(startLine + 1), header);
  return next ? static_cast<std::int64_t>(*next) - 1 : count;
}

std::int64_t indentationWidth(std::string_view line) {
  std::int64_t width = 0;
  for (char c : line) {
    if (c == ' ') {
      width += 1;
    } else if (c == '\t') {
      width += 4;
    } else {
      break;
    }
  }
  return width;
}

std::int64_t braceBlockEndLine(std::span<const std::string_view> lines, std::int64_t startLine) {
  std::int64_t depth = 0;
  bool opened = false;
  if (startLine < 1) return startLine;
  for (auto i = static_cast<std::size_t>(startLine - 1); i < lines.size(); ++i) {
    for (char c : lines[i]) {
      if (c == '{') {
        ++depth;
        opened = true;
      } else if (c == '}') {
        --depth;
      }
    }
    if (opened && depth <= 0) return static_cast<std::int64_t>(i) + 1;
  }
  return startLine;
}

std::int64_t pythonBlockEndLine(std::span<const std::string_view> lines, std::int64_t startLine) {
  const auto count = static_cast<std::int64_t>(lines.size());
  if (startLine < 1 || startLine >= count) return startLine;
  const std::int64_t header = indentationWidth(lines[static_cast<std::size_t>(startLine - 1)]);
  for (auto i = static_cast<std::size_t>(startLine); i < lines.size(); ++i) {
    const auto trimmed = trimHorizontalWhitespace(lines[i]);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    if (indentationWidth(lines[i]) <= header) return static_cast<std::int64_t>(i);
  }
  return count;
}

std::vector<LineMatch> regexLineMatches(std::string_view pattern, std::string_view content,
                                        bool caseInsensitive) {
  SourceText text(content);
  return cachedPattern(pattern, caseInsensitive).matches(text.lines());
}

std::vector<std::string> regexFirstGroups(std::string_view pattern, std::string_view content,
                                          bool caseInsensitive) {
  return firstGroups(regexLineMatches(pattern, content, caseInsensitive));
}

std::string signatureOf(const LineMatch& match) {
  return std::string(trimHorizontalWhitespace(match.text));
}

std::vector<std::string> splitSupertypes(std::string_view list) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    auto piece = platform::trimWhitespace(list.substr(start, comma - start));
    if (!piece.empty()) pieces.push_back(std::move(piece));
    start = comma + 1;
  }
  return pieces;
}

std::vector<std::string> withoutRepeats(const std::vector<std::string>& values) {
  std::vector<std::string> out;
  std::unordered_set<std::string_view> seen;
  for (const auto& value : values) {
    if (seen.insert(value).second) out.push_back(value);
  }
  return out;
}

std::int64_t blockEnd(BlockRule rule, SourceText& text, std::int64_t startLine) {
  return rule == BlockRule::Braces ? text.braceBlockEnd(startLine) : text.pythonBlockEnd(startLine);
}

void appendFunctions(const std::vector<LineMatch>& matches, BlockRule rule, SourceText& text,
                     ParsedFile& out) {
  for (const auto& m : matches) {
    const auto& name = m.group(1);
    if (!name) continue;
    out.functions.push_back({*name, m.line, blockEnd(rule, text, m.line), signatureOf(m)});
  }
}

}  // namespace nodrel::codeintel::parsers
