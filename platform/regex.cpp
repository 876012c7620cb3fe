#include "platform/regex.h"

#include <cstdint>
#include <limits>
#include <utility>

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

namespace nodrel::platform {
namespace {

// Steps of ICU's match engine, roughly milliseconds: long enough for any sane pattern on a long
// line, short enough that a catastrophic backtrack costs a moment and not the session.
constexpr std::int32_t kMatchTimeLimit = 1000;
// ICU keeps its backtracking stack on the heap; the default of 8 MB turns a simple "x+$" over a
// line of a million characters into no match. 64 MB covers minified files and generated code.
constexpr std::int32_t kMatchStackLimit = 64 << 20;

}  // namespace

struct Regex::Impl {
  std::unique_ptr<icu::RegexPattern> pattern;
  std::unique_ptr<icu::RegexMatcher> matcher;
  UText text = UTEXT_INITIALIZER;

  ~Impl() {
    // The matcher holds a clone of `text`, so it goes first.
    matcher.reset();
    utext_close(&text);
  }

  // A matcher whose input is `bytes`; nothing when ICU cannot set one up. ICU's UTF-8 text
  // provider reads ill-formed sequences as U+FFFD and reports native (byte) indexes, so the
  // caller's text is searched as it stands.
  icu::RegexMatcher* attach(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      return nullptr;
    }
    UErrorCode status = U_ZERO_ERROR;
    // A null pointer with length 0 is what an empty std::string_view may hold; UText wants a
    // real address.
    const char* data = bytes.data() != nullptr ? bytes.data() : "";
    utext_openUTF8(&text, data, static_cast<std::int64_t>(bytes.size()), &status);
    if (U_FAILURE(status)) return nullptr;
    if (!matcher) {
      matcher.reset(pattern->matcher(status));
      if (U_FAILURE(status) || !matcher) {
        matcher.reset();
        return nullptr;
      }
      matcher->setTimeLimit(kMatchTimeLimit, status);
      matcher->setStackLimit(kMatchStackLimit, status);
      if (U_FAILURE(status)) {
        matcher.reset();
        return nullptr;
      }
    }
    matcher->reset(&text);
    return matcher.get();
  }

  // A run-time failure can leave the matcher in an error state; a fresh one is made next time.
  void discardMatcher() { matcher.reset(); }

  static std::optional<RegexMatch> current(const icu::RegexMatcher& m) {
    UErrorCode status = U_ZERO_ERROR;
    RegexMatch match;
    const std::int32_t count = m.groupCount();
    match.groups.resize(static_cast<std::size_t>(count) + 1);
    for (std::int32_t g = 0; g <= count; ++g) {
      const std::int64_t begin = m.start64(g, status);
      const std::int64_t end = m.end64(g, status);
      if (U_FAILURE(status)) return std::nullopt;
      auto& group = match.groups[static_cast<std::size_t>(g)];
      if (begin >= 0 && end >= begin) {
        group.begin = static_cast<std::size_t>(begin);
        group.end = static_cast<std::size_t>(end);
        group.matched = true;
      }
    }
    return match;
  }
};

std::string_view RegexMatch::view(std::string_view text, std::size_t group) const {
  if (!has(group)) return {};
  const Group& g = groups[group];
  if (g.begin > text.size() || g.end > text.size() || g.end < g.begin) return {};
  return text.substr(g.begin, g.end - g.begin);
}

Regex::Regex(std::string pattern, std::unique_ptr<Impl> impl)
    : pattern_(std::move(pattern)), impl_(std::move(impl)) {}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<RegexMatch> Regex::firstMatch(std::string_view text, std::size_t from) const {
  if (from > text.size()) return std::nullopt;
  // ICU moves an index inside a character back to its start, which would report a match that
  // begins before `from`; start at the next character instead.
  while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) ++from;
  icu::RegexMatcher* m = impl_->attach(text);
  if (m == nullptr) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const bool found = m->find(static_cast<std::int64_t>(from), status);
  if (U_FAILURE(status)) {
    impl_->discardMatcher();
    return std::nullopt;
  }
  if (!found) return std::nullopt;
  return Impl::current(*m);
}

void Regex::forEachMatch(std::string_view text,
                         const std::function<bool(const RegexMatch&)>& onMatch) const {
  icu::RegexMatcher* m = impl_->attach(text);
  if (m == nullptr) return;
  for (;;) {
    UErrorCode status = U_ZERO_ERROR;
    // find() steps past an empty match by itself, so the loop always advances.
    const bool found = m->find(status);
    if (U_FAILURE(status)) {
      impl_->discardMatcher();
      return;
    }
    if (!found) return;
    auto match = Impl::current(*m);
    if (!match || !onMatch(*match)) return;
  }
}

std::vector<RegexMatch> Regex::allMatches(std::string_view text) const {
  std::vector<RegexMatch> out;
  forEachMatch(text, [&](const RegexMatch& m) {
    out.push_back(m);
    return true;
  });
  return out;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
  std::string out;
  std::size_t copied = 0;
  forEachMatch(text, [&](const RegexMatch& m) {
    const auto& whole = m.groups[0];
    if (whole.begin < copied || whole.end > text.size()) return false;
    out.append(text.substr(copied, whole.begin - copied));
    out.append(replacement);
    copied = whole.end;
    return true;
  });
  out.append(text.substr(copied));
  return out;
}

std::optional<Regex> makeRegex(std::string_view pattern, unsigned options) {
  uint32_t flags = 0;
  if ((options & kRegexCaseInsensitive) != 0) flags |= UREGEX_CASE_INSENSITIVE;
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(
      pattern.data() != nullptr ? pattern.data() : "", static_cast<std::int32_t>(pattern.size())));
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(source, flags, parseError, status));
  if (U_FAILURE(status) || !compiled) return std::nullopt;
  auto impl = std::make_unique<Regex::Impl>();
  impl->pattern = std::move(compiled);
  return Regex(std::string(pattern), std::move(impl));
}

}  // namespace nodrel::platform
