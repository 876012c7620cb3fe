#include "codeintel/parsers/go.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(GoParser, ReadsTheSampleFile) {
  const auto parsed = parseGoSource(testing::codeintelFixture("parsers/sample.go"));
  EXPECT_EQ(parsed.imports,
            (std::vector<std::string>{"errors", "fmt", "github.com/sirupsen/logrus", "net/http"}));
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{
                {"Handler", SymbolKind::Protocol, 11, 13, "type Handler interface"},
                {"Server", SymbolKind::Struct, 15, 17, "type Server struct"},
                {"ID", SymbolKind::Struct, 19, 23, "type ID int"},
            }));
  EXPECT_TRUE(parsed.conformances.empty());
  EXPECT_TRUE(parsed.inheritances.empty());
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{
                                  {"NewServer", 21, 23, "func NewServer("},
                                  {"Run", 25, 31, "func (s *Server) Run("},
                              }));
}

TEST(GoParser, CrLfLineEndsReadLikeLineFeeds) {
  const std::string lf = "import (\n\t\"fmt\"\n\tio \"io\"\n)\nfunc (s *S) Run() {\n}\n";
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const auto parsed = parseGoSource(crlf);
  EXPECT_EQ(parsed, parseGoSource(lf));
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"fmt", "io"}));
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{{"Run", 5, 6, "func (s *S) Run("}}));
}

TEST(GoParser, ReadsImportsUnderAnAliasADotOrABlank) {
  const struct {
    const char* source;
    std::vector<std::string> imports;
  } cases[] = {
      {"import (\n\tx \"a/b\"\n\t. \"c/d\"\n\t_ \"e\"\n\t\"f\" // why\n)\n",
       {"a/b", "c/d", "e", "f"}},
      {"import x \"a/b\"\nimport . \"c/d\"\nimport _ \"e\"\n", {"a/b", "c/d", "e"}},
      {"import ( // grouped\n\t\"a\"\n)\nvar s = \"not an import\"\n", {"a"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseGoSource(c.source).imports, c.imports) << c.source;
  }
}

}  // namespace
}  // namespace nodrel::codeintel
