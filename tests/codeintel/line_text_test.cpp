#include "codeintel/line_text.h"

#include <gtest/gtest.h>

namespace nodrel::codeintel {
namespace {

TEST(LineText, SplitsAtLineFeedsDroppingTheCarriageReturnBeforeThem) {
  struct Case {
    std::string text;
    std::vector<std::string_view> lines;
  };
  const Case cases[] = {
      {"", {""}},
      {"a", {"a"}},
      {"a\n", {"a", ""}},
      {"a\r\nb\r\n", {"a", "b", ""}},
      {"a\rb\n\r", {"a\rb", "\r"}},  // a lone carriage return is an ordinary character
      {"\n\n", {"", "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(splitLines(c.text), c.lines);
  }
}

TEST(LineText, TrimsHorizontalWhiteSpaceOnly) {
  struct Case {
    std::string text;
    std::string_view trimmed;
  };
  const Case cases[] = {
      {"  a b\t", "a b"},
      {"\xC2\xA0\xE3\x80\x80x\xE2\x80\x89", "x"},  // no-break, ideographic, thin space
      {"\ra\n", "\ra\n"},                          // line breaks stay
      {" \xFF ", "\xFF"},                          // invalid bytes are kept, not read past
      {"\xE2\x80", "\xE2\x80"},
      {"   ", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trimHorizontalWhitespace(c.text), c.trimmed);
  }
}

TEST(LineText, NamesFilesRelativeToTheProjectOrByTheirLastComponent) {
  struct Case {
    std::string path;
    std::string project;
    std::string name;
  };
  const Case cases[] = {
      {"/p/app/src/a.swift", "/p/app", "src/a.swift"},
      {"/p/app/src/a.swift", "/p/app/", "src/a.swift"},
      {"/p/application/a.swift", "/p/app", "a.swift"},  // a prefix that is no directory
      {"src/a.swift", "/p/app", "a.swift"},             // no such file under the project
      {"/elsewhere/b.swift", "/p/app", "b.swift"},
      {"dir/", "/p", "dir"},
      {"a.swift", "", "a.swift"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " in " + c.project);
    EXPECT_EQ(projectFileName(c.path, c.project), c.name);
  }
  EXPECT_EQ(lastPathComponent("///"), "/");
}

TEST(LineText, ReportedFilesBecomeRelativeToTheProject) {
  struct Case {
    std::optional<std::string> file;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"/p/app/src/a.c", "src/a.c"},
      {"/p/app/./src//a.c", "src/a.c"},
      {"./src/a.c", "src/a.c"},
      {"src/a.c", "src/a.c"},
      {"/p/application/a.c", "/p/application/a.c"},  // a prefix that is no directory
      {"/elsewhere/a.c", "/elsewhere/a.c"},
      {"/p/app/", "/p/app/"},
      {"", ""},
      {std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.value_or("(none)"));
    EXPECT_EQ(projectRelativeFile(c.file, "/p/app"), c.want);
  }
}

}  // namespace
}  // namespace nodrel::codeintel
