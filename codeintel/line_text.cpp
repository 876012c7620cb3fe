#include "codeintel/line_text.h"

#include <filesystem>
#include <system_error>

#include <cstdint>

namespace nodrel::codeintel {
namespace {

// Decodes one UTF-8 sequence starting at `i`; `length` 0 when the bytes there are invalid.
char32_t decodeAt(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  length = 0;
  if (b0 < 0x80) {
    length = 1;
    return b0;
  }
  std::size_t need = 0;
  char32_t c = 0;
  if ((b0 & 0xE0) == 0xC0) {
    need = 1;
    c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2;
    c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + need >= s.size()) return 0;
  for (std::size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  length = need + 1;
  return c;
}

// Start of the UTF-8 sequence that ends right before `end`, or `end` when the bytes there do
// not form one.
std::size_t sequenceStartBefore(std::string_view s, std::size_t end) {
  std::size_t start = end - 1;
  int continuation = 0;
  while (start > 0 && continuation < 3 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) {
    --start;
    ++continuation;
  }
  return start;
}

}  // namespace

std::vector<std::string_view> splitAtLineFeeds(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    std::size_t end = lf;
    if (end > start && text[end - 1] == '\r') --end;
    lines.push_back(text.substr(start, end - start));
    start = lf + 1;
  }
}

bool isHorizontalWhitespace(char32_t c) {
  switch (c) {
    case 0x0009:
    case 0x0020:
    case 0x00A0:
    case 0x1680:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trimHorizontalWhitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 0;
    const char32_t c = decodeAt(text, begin, length);
    if (length == 0 || !isHorizontalWhitespace(c)) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = sequenceStartBefore(text, end);
    if (start < begin) break;
    std::size_t length = 0;
    const char32_t c = decodeAt(text, start, length);
    if (length == 0 || start + length != end || !isHorizontalWhitespace(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string lastPathComponent(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return path.empty() ? std::string() : std::string("/");
  const std::size_t slash = path.rfind('/', end - 1);
  const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
  return std::string(path.substr(begin, end - begin));
}

std::string projectFileName(std::string_view path, std::string_view projectPath) {
  std::string root(projectPath);
  if (root.empty() || root.back() != '/') root += '/';
  if (path.starts_with(root)) return std::string(path.substr(root.size()));
  // Tools run from the project root print paths relative to it ("src/bad.c"); that path is the
  // file's own name in the project, where its last component may name several files.
  if (!path.empty() && path.front() != '/' && !projectPath.empty() && projectPath.front() == '/') {
    const std::string relative = std::filesystem::path(path).lexically_normal().generic_string();
    std::error_code error;
    if (!relative.empty() && relative != "." && !relative.starts_with("..") &&
        std::filesystem::is_regular_file(std::filesystem::path(projectPath) / relative, error)) {
      return relative;
    }
  }
  return lastPathComponent(path);
}

std::optional<std::string> projectRelativeFile(const std::optional<std::string>& file,
                                               std::string_view projectPath) {
  if (!file || file->empty()) return file;
  std::string root(projectPath);
  if (root.empty() || root.back() != '/') root += '/';
  std::string path = *file;
  if (path.front() == '/') {
    if (!path.starts_with(root) || path.size() == root.size()) return file;
    path.erase(0, root.size());
  }
  path = std::filesystem::path(path).lexically_normal().generic_string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == ".") return file;
  return path;
}

}  // namespace nodrel::codeintel
