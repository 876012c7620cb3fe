#include "capture/secret_mask.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "platform/regex.h"

namespace nodrel::capture {
namespace {

struct SecretShape {
  std::string_view pattern;
  unsigned options;
  std::size_t keptGroup;  // the part of a match before the secret that stays; 0 for none
  // Every match holds one of these (compared ASCII-lowercased when the shape ignores case):
  // a text without any is not worth the regex.
  std::array<std::string_view, 9> needles;
};

// An unterminated key block (a body cut short) is masked to the end.
constexpr std::array<SecretShape, 4> kSecretShapes = {{
    {R"(-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----(?:[\s\S]*?-----END [A-Z0-9 ]*PRIVATE KEY-----|[\s\S]*))",
     0,
     0,
     {"-----BEGIN "}},
    {R"(\b(?:sk-[A-Za-z0-9_\-]{20,}|gh[pousr]_[A-Za-z0-9]{20,}|github_pat_[A-Za-z0-9_]{20,}|xox[abposr]-[A-Za-z0-9\-]{10,}|AKIA[0-9A-Z]{16})\b)",
     0,
     0,
     {"sk-", "ghp_", "gho_", "ghu_", "ghs_", "ghr_", "github_pat_", "xox", "AKIA"}},
    {R"(\b([A-Za-z0-9_\-]*(?:password|passwd|secret)[A-Za-z0-9_\-]*["']?\s*(?<![=!<>])[:=](?!=)\s*)(?:"[^"\n]+"|'[^'\n]+'|[^\s"',;]+))",
     platform::kRegexCaseInsensitive,
     1,
     {"passw", "secret"}},
    {R"(\b([A-Za-z][A-Za-z0-9+.\-]*://[^/\s:@]+:)[^/\s@]+(?=@))", 0, 1, {"://"}},
}};

std::string maskShape(std::string_view text, const platform::Regex& regex, std::size_t keptGroup) {
  std::string out;
  std::size_t copied = 0;
  bool any = false;
  regex.forEachMatch(text, [&](const platform::RegexMatch& match) {
    const auto& whole = match.groups[0];
    out.append(text.substr(copied, whole.begin - copied));
    if (keptGroup != 0 && match.has(keptGroup)) out.append(match.view(text, keptGroup));
    const std::string_view secret =
        text.substr(whole.begin, whole.end - whole.begin)
            .substr(keptGroup != 0 && match.has(keptGroup)
                        ? match.groups[keptGroup].end - match.groups[keptGroup].begin
                        : 0);
    // Already masked by an earlier shape: leave it as it is.
    out.append(secret == kRedacted ? secret : kRedacted);
    copied = whole.end;
    any = true;
    return true;
  });
  if (!any) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool mayMatch(const SecretShape& shape, std::string_view text) {
  const bool ignoreCase = (shape.options & platform::kRegexCaseInsensitive) != 0;
  std::string lowered;
  if (ignoreCase) {
    // Case folding beyond ASCII (the long s folds to "s") could match a needle it does not hold.
    if (!isAscii(text)) return true;
    lowered.resize(text.size());
    std::transform(text.begin(), text.end(), lowered.begin(), asciiLower);
  }
  const std::string_view haystack = ignoreCase ? std::string_view(lowered) : text;
  return std::any_of(shape.needles.begin(), shape.needles.end(), [&](std::string_view needle) {
    return !needle.empty() && haystack.find(needle) != std::string_view::npos;
  });
}

// Compiled once per thread, and only when a text may hold the shape: compiling the first ICU
// regex of a process builds its rule sets, a few milliseconds a hook that masks nothing would
// pay. A Regex keeps its matcher and is not shared between threads.
const std::optional<platform::Regex>& compiledShape(std::size_t index) {
  thread_local std::array<std::optional<std::optional<platform::Regex>>, kSecretShapes.size()>
      compiled;
  auto& slot = compiled[index];
  if (!slot) slot = platform::makeRegex(kSecretShapes[index].pattern, kSecretShapes[index].options);
  return *slot;
}

}  // namespace

std::string maskSecrets(std::string_view text) {
  std::string masked(text);
  for (std::size_t i = 0; i < kSecretShapes.size(); ++i) {
    if (!mayMatch(kSecretShapes[i], masked)) continue;
    const auto& regex = compiledShape(i);
    if (!regex) continue;
    masked = maskShape(masked, *regex, kSecretShapes[i].keptGroup);
  }
  return masked;
}

}  // namespace nodrel::capture
