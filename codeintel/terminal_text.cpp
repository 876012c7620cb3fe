#include "codeintel/terminal_text.h"

#include <cstddef>

namespace nodrel::codeintel {
namespace {

constexpr char kEscape = '\x1b';
constexpr char kBell = '\x07';

bool isLineBreak(char c) { return c == '\n' || c == '\r'; }

// Past a CSI's parameter and intermediate bytes and its final byte. A byte outside the
// sequence's grammar (a line break, text) ends it there and is kept.
std::size_t skipControlSequence(std::string_view text, std::size_t i) {
  while (i < text.size() && text[i] >= 0x30 && text[i] <= 0x3F) ++i;
  while (i < text.size() && text[i] >= 0x20 && text[i] <= 0x2F) ++i;
  if (i < text.size() && text[i] >= 0x40 && text[i] <= 0x7E) ++i;
  return i;
}

// Past a string command's body and its terminator (BEL or ESC \). A line break ends an
// unterminated one and is kept, so a cut-off hyperlink costs one line at most.
std::size_t skipControlString(std::string_view text, std::size_t i) {
  while (i < text.size()) {
    if (text[i] == kBell) return i + 1;
    if (text[i] == kEscape && i + 1 < text.size() && text[i + 1] == '\\') return i + 2;
    if (isLineBreak(text[i])) return i;
    ++i;
  }
  return i;
}

}  // namespace

std::string stripTerminalEscapes(std::string_view text) {
  if (text.find(kEscape) == std::string_view::npos &&
      text.find("\xC2\x9B") == std::string_view::npos) {
    return std::string(text);
  }
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\xC2' && i + 1 < text.size() && text[i + 1] == '\x9B') {
      i = skipControlSequence(text, i + 2);
      continue;
    }
    if (c != kEscape) {
      out.push_back(c);
      ++i;
      continue;
    }
    ++i;
    if (i >= text.size()) break;
    const char kind = text[i];
    if (kind == '[') {
      i = skipControlSequence(text, i + 1);
    } else if (kind == ']' || kind == 'P' || kind == 'X' || kind == '^' || kind == '_') {
      i = skipControlString(text, i + 1);
    } else if (kind >= 0x20 && kind <= 0x2F) {
      // A character-set designation and the like: intermediates, then one final byte.
      while (i < text.size() && text[i] >= 0x20 && text[i] <= 0x2F) ++i;
      if (i < text.size() && text[i] >= 0x30 && text[i] <= 0x7E) ++i;
    } else if (kind >= 0x30 && kind <= 0x7E) {
      ++i;
    }
    // Any other byte after ESC (a line break, text) is kept: only the ESC goes.
  }
  return out;
}

}  // namespace nodrel::codeintel
