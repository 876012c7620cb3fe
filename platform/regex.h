// platform/regex.h: regular expressions in ICU syntax over UTF-8 text. Match ranges are byte
// offsets into the searched text. A pattern that does not compile gives no Regex; a match that
// fails at run time (ICU's time or stack limits) counts as no match.
// A Regex keeps one matcher for reuse, so one object must not be used by two threads at once.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nodrel::platform {

inline constexpr unsigned kRegexCaseInsensitive = 1;

struct RegexMatch {
  struct Group {
    std::size_t begin = 0;  // byte offsets into the searched text
    std::size_t end = 0;
    bool matched = false;
  };
  std::vector<Group> groups;  // group 0 is the whole match

  bool has(std::size_t group) const { return group < groups.size() && groups[group].matched; }
  // The group's text, or empty when it did not take part in the match.
  std::string_view view(std::string_view text, std::size_t group) const;
  std::string str(std::string_view text, std::size_t group) const {
    return std::string(view(text, group));
  }
};

class Regex {
 public:
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;

  // First match at or after byte offset `from`.
  std::optional<RegexMatch> firstMatch(std::string_view text, std::size_t from = 0) const;
  bool search(std::string_view text) const { return firstMatch(text).has_value(); }
  // Every non-overlapping match, in order.
  std::vector<RegexMatch> allMatches(std::string_view text) const;
  // Calls `onMatch` for each match in order until it returns false.
  void forEachMatch(std::string_view text,
                    const std::function<bool(const RegexMatch&)>& onMatch) const;
  // Every match replaced by the literal `replacement`.
  std::string replaceAll(std::string_view text, std::string_view replacement) const;

  const std::string& pattern() const { return pattern_; }

 private:
  friend std::optional<Regex> makeRegex(std::string_view pattern, unsigned options);
  struct Impl;
  Regex(std::string pattern, std::unique_ptr<Impl> impl);
  std::string pattern_;
  std::unique_ptr<Impl> impl_;
};

// Option value 1 (kRegexCaseInsensitive) is case-insensitive; other bits are ignored.
std::optional<Regex> makeRegex(std::string_view pattern, unsigned options = 0);

}  // namespace nodrel::platform
