#include "capture/secret_mask.h"

#include <array>
#include <optional>

#include "platform/regex.h"

namespace nodrel::capture {
namespace {

struct SecretShape {
  std::string_view pattern;
  unsigned options;
  std::size_t keptGroup;  // the part of a match before the secret that stays; 0 for none
};

// An unterminated key block (a body cut short) is masked to the end.
constexpr std::array<SecretShape, 4> kSecretShapes = {{
    {R"(-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----(?:[\s\S]*?-----END [A-Z0-9 ]*PRIVATE KEY-----|[\s\S]*))",
     0, 0},
    {R"(\b(?:sk-[A-Za-z0-9_\-]{20,}|gh[pousr]_[A-Za-z0-9]{20,}|github_pat_[A-Za-z0-9_]{20,}|xox[abposr]-[A-Za-z0-9\-]{10,}|AKIA[0-9A-Z]{16})\b)",
     0, 0},
    {R"(\b([A-Za-z0-9_\-]*(?:password|passwd|secret)[A-Za-z0-9_\-]*["']?\s*(?<![=!<>])[:=](?!=)\s*)(?:"[^"\n]+"|'[^'\n]+'|[^\s"',;]+))",
     platform::kRegexCaseInsensitive, 1},
    {R"(\b([A-Za-z][A-Za-z0-9+.\-]*://[^/\s:@]+:)[^/\s@]+(?=@))", 0, 1},
}};

std::string maskShape(std::string_view text, const platform::Regex& regex,
                      std::size_t keptGroup) {
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

}  // namespace

std::string maskSecrets(std::string_view text) {
  std::string masked(text);
  for (const SecretShape& shape : kSecretShapes) {
    const std::optional<platform::Regex> regex = platform::makeRegex(shape.pattern, shape.options);
    if (!regex) continue;
    masked = maskShape(masked, *regex, shape.keptGroup);
  }
  return masked;
}

}  // namespace nodrel::capture
