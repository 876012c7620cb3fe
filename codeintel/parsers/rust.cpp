#include "codeintel/parsers/rust.h"

#include <cctype>
#include <cstddef>

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct RustPatterns {
  LinePattern import{R"re(^\s*(?:pub(?:\s*\([^)]*\))?\s+)?use\s+([^;]+))re", 0, {"use"}};
  // "mod x;" brings in x.rs or x/mod.rs; a module written out in braces is this file's own.
  LinePattern module{R"re(^\s*(?:pub(?:\s*\([^)]*\))?\s+)?mod\s+(\w+)\s*;)re", 0, {"mod"}};
  // An impl may open with its own generics ("impl<T>") and name its trait by a path
  // ("fmt::Display"); the path is dropped. The "for" branch comes first, so a trait with nested
  // generics ("From<Vec<T>>") still reaches the type after "for"; that type may be a path, a
  // reference or a trait object, of which the last name is the type that gets the methods.
  LinePattern type{
      R"re(^\s*(?:pub\s+)?(?:pub\s*\([^)]+\)\s+)?(?:unsafe\s+)?(struct|enum|trait|impl|type)(?:\s*<.*?>)?\s+(?:(?:\w+::)*)(\w+)(?:(?:<[^{]*?>)?\s+for\s+(?:&\s*(?:'\w+\s+)?)?(?:mut\s+)?(?:dyn\s+)?(?:\w+::)*(\w+)|(?:<[^>]*>)?))re",
      0,
      {"struct", "enum", "trait", "impl", "type"}};
  LinePattern function{
      R"re(^\s*(?:pub\s+)?(?:pub\s*\([^)]+\)\s+)?(?:default\s+)?(?:const\s+)?(?:async\s+)?(?:unsafe\s+)?(?:extern\s+(?:"[^"]*"\s+)?)?fn\s+(\w+)\s*(?:<.*?>)?\s*\()re",
      0,
      {"fn"}};
};

// A use declaration as one path with no white space, comments or renames: "a::{b as c, d}"
// gives "a::{b,d}".
std::string usePath(std::string_view text) {
  std::string words;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "//") {
      while (i < text.size() && text[i] != '\n') ++i;
    }
    if (i < text.size()) words += text[i];
  }
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto isSpace = [&](std::size_t at) {
      return at < words.size() &&
             (words[at] == ' ' || words[at] == '\t' || words[at] == '\n' || words[at] == '\r');
    };
    if (isSpace(i) && words.compare(i + 1, 2, "as") == 0 && isSpace(i + 3)) {
      i += 3;
      while (isSpace(i)) ++i;
      while (i < words.size() &&
             (std::isalnum(static_cast<unsigned char>(words[i])) || words[i] == '_')) {
        ++i;
      }
      --i;
      continue;
    }
    if (!isSpace(i)) out += words[i];
  }
  return out;
}

// The use declaration starting on `first` (0-based), read on to its ";" when a brace group runs
// over several lines.
std::string useDeclaration(const std::vector<std::string_view>& lines, std::size_t first,
                           std::string_view start) {
  std::string text(start);
  constexpr std::size_t kMostLines = 200;
  auto open = [&] {
    std::ptrdiff_t depth = 0;
    for (char c : text) depth += c == '{' ? 1 : c == '}' ? -1 : 0;
    return depth > 0;
  };
  for (std::size_t i = first + 1; open() && i < lines.size() && i <= first + kMostLines; ++i) {
    const auto line = lines[i];
    const auto end = line.find(';');
    text += '\n';
    text += line.substr(0, end);
    if (end != std::string_view::npos) break;
  }
  return usePath(text);
}

std::optional<SymbolKind> kindOf(const std::string& word) {
  if (word == "struct" || word == "type") return SymbolKind::Struct;
  if (word == "enum") return SymbolKind::Enum;
  if (word == "trait") return SymbolKind::Protocol;
  if (word == "impl") return SymbolKind::Extension;
  return std::nullopt;
}

}  // namespace

ParsedFile parseRustSource(std::string_view content) {
  thread_local const RustPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;
  for (std::size_t i = 0; i < text.lines().size(); ++i) {
    const auto line = text.lines()[i];
    const auto number = static_cast<std::int64_t>(i) + 1;
    if (auto m = patterns.import.firstMatch(line, number); m && m->group(1)) {
      if (auto path = useDeclaration(text.lines(), i, *m->group(1)); !path.empty()) {
        out.imports.push_back(std::move(path));
      }
    } else if (auto mod = patterns.module.firstMatch(line, number); mod && mod->group(1)) {
      out.imports.push_back("self::" + *mod->group(1));
    }
  }

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& word = m.group(1);
    const auto& name = m.group(2);
    if (!word || !name) continue;
    const auto kind = kindOf(*word);
    if (!kind) continue;
    // "impl Trait for Type" adds methods to Type, so the block is recorded under Type, as an
    // inherent "impl Type" is, and Type conforms to the trait.
    const auto& implementer = m.group(3);
    const bool traitImpl = *word == "impl" && implementer;
    out.typeDeclarations.push_back({traitImpl ? *implementer : *name, *kind, m.line,
                                    text.braceBlockEnd(m.line), parsers::signatureOf(m)});
    if (traitImpl) out.conformances.push_back({*implementer, *name});
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
