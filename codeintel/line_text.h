// codeintel/line_text.h: the line handling that the source parsers and the failure parsers
// share: splitting text into lines, trimming horizontal white space, and naming a file
// relative to a project root.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nodrel::codeintel {

// Splits at every "\n"; the text after the last "\n" is the last line (empty when the text
// ends with "\n"), so the result always has at least one line. A "\r" right before a "\n"
// is dropped with it, so that CR-LF text yields the same lines as LF text. The views point
// into `text`.
std::vector<std::string_view> splitLines(std::string_view text);
// The same split with every "\r" kept at the end of its line. The failure parsers use it:
// their patterns end in "$", which already stops before a final "\r".
std::vector<std::string_view> splitAtLineFeeds(std::string_view text);

// True for the tab and every Unicode space separator (category Zs).
bool isHorizontalWhitespace(char32_t c);
// `text` without leading and trailing horizontal white space; line breaks stay. Invalid UTF-8
// is left in place, never read past.
std::string_view trimHorizontalWhitespace(std::string_view text);

// The last component of `path` read as a file path: trailing "/" ignored, "/" for a path of
// slashes only.
std::string lastPathComponent(std::string_view path);

// The name a failure row gives a captured path: relative to the project root when the path
// starts with it (the root taken with a trailing "/"); a relative path as it stands ("./"
// segments dropped) when it names a regular file under the (absolute) project root; else its
// last path component.
std::string projectFileName(std::string_view path, std::string_view projectPath);

// A file named in a report (a trigger file) as the project's rows name it: an absolute path
// under the project root becomes relative to it, "." segments and trailing "/" are dropped;
// an absolute path elsewhere, an empty text and nothing come back unchanged.
std::optional<std::string> projectRelativeFile(const std::optional<std::string>& file,
                                               std::string_view projectPath);

}  // namespace nodrel::codeintel
