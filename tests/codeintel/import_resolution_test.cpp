#include "codeintel/import_resolution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "codeintel/source_parser.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

using Paths = std::vector<std::string>;

struct Case {
  std::string importer, import;
  Paths want;
};

void expectResolves(ImportResolver& resolver, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.importer + " imports " + c.import);
    EXPECT_EQ(resolver.resolve(c.importer, c.import), c.want);
  }
}

void write(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// Each tree has two files of one stem in different folders, and a project file with the stem of
// an outside package: an import reaches the file it names, or none.
TEST(ImportResolution, GoImportsNameTheirModulesPackageDirectory) {
  testing::TempHome dir;
  const auto root = dir.path().string();
  write(dir.path() / "go.mod", "module example.com/app\n\ngo 1.19\n");
  write(dir.path() / "tools/go.mod", "module \"example.com/tools\" // nested\n");
  ImportResolver resolver(
      root, {"main.go", "fmtcmd/fmt.go", "util/util.go", "util/util_test.go", "util/strings.go",
             "internal/util/util.go", "tools/gen.go", "vendor/github.com/x/y/y.go"});
  expectResolves(resolver,
                 {{"main.go", "example.com/app/util", {"util/strings.go", "util/util.go"}},
                  {"main.go", "example.com/app/internal/util", {"internal/util/util.go"}},
                  {"main.go", "fmt", {}},
                  {"main.go", "strings", {}},
                  {"main.go", "github.com/x/y", {"vendor/github.com/x/y/y.go"}},
                  {"main.go", "github.com/other/util", {}},
                  {"tools/gen.go", "example.com/app/util", {}},
                  {"util/util.go", "example.com/app/util", {"util/strings.go"}}});
}

TEST(ImportResolution, TheStandardLibraryImportsByFolder) {
  testing::TempHome dir;
  write(dir.path() / "go.mod", "module std\n");
  write(dir.path() / "cmd/go.mod", "module cmd\n");
  ImportResolver resolver(
      dir.path().string(),
      {"fmt/print.go", "strings/strings.go", "cmd/go/internal/fmtcmd/fmt.go",
       "cmd/internal/base/base.go", "net/http/server.go", "vendor/golang.org/x/net/idna/idna.go"});
  expectResolves(
      resolver,
      {{"net/http/server.go", "fmt", {"fmt/print.go"}},
       {"net/http/server.go", "golang.org/x/net/idna", {"vendor/golang.org/x/net/idna/idna.go"}},
       {"cmd/go/internal/fmtcmd/fmt.go", "cmd/internal/base", {"cmd/internal/base/base.go"}},
       {"cmd/go/internal/fmtcmd/fmt.go", "strings", {"strings/strings.go"}},
       {"cmd/go/internal/fmtcmd/fmt.go", "fmt", {"fmt/print.go"}}});
}

TEST(ImportResolution, PythonModulesFromTheRootsAndRelativeToThePackage) {
  ImportResolver resolver(
      "/p", {"app/__init__.py", "app/globals.py", "app/util.py", "app/sub/__init__.py",
             "app/sub/views.py", "lib/util.py", "lib/compat/typing.py", "src/tool/__init__.py",
             "src/tool/run.py", "top.py"});
  expectResolves(resolver, {{"app/sub/views.py", ".", {"app/sub/__init__.py"}},
                            {"app/sub/views.py", "..globals", {"app/globals.py"}},
                            {"app/sub/views.py", "..util", {"app/util.py"}},
                            {"app/util.py", ".globals", {"app/globals.py"}},
                            {"app/util.py", "app.sub.views", {"app/sub/views.py"}},
                            {"app/util.py", "app.sub", {"app/sub/__init__.py"}},
                            {"app/util.py", "tool.run", {"src/tool/run.py"}},
                            {"app/util.py", "top", {"top.py"}},
                            {"app/util.py", "typing", {}},
                            {"app/util.py", "util", {}},
                            {"top.py", "....deep", {}}});
}

TEST(ImportResolution, ScriptSpecifiersRelativeToTheImporter) {
  ImportResolver resolver(
      "/p", {"v4/core/util.ts", "v4/core/schemas.ts", "v4/helpers/util.ts", "v4/core/api.ts",
             "v4/index.ts", "lib/types.d.ts", "web/a.jsx", "web/b.js", "react.ts"});
  expectResolves(resolver, {{"v4/core/api.ts", "../helpers/util.js", {"v4/helpers/util.ts"}},
                            {"v4/core/api.ts", "./util", {"v4/core/util.ts"}},
                            {"v4/core/api.ts", "./schemas.js", {"v4/core/schemas.ts"}},
                            {"v4/core/api.ts", "..", {"v4/index.ts"}},
                            {"v4/core/api.ts", "../../lib/types", {"lib/types.d.ts"}},
                            {"web/a.jsx", "./b.js", {"web/b.js"}},
                            {"web/a.jsx", "react", {}},
                            {"web/a.jsx", "../../outside", {}}});
}

TEST(ImportResolution, RustPathsWithinTheCrate) {
  ImportResolver resolver("/p", {"src/lib.rs", "src/net/mod.rs", "src/net/tcp.rs", "src/util.rs",
                                 "src/util/fmt.rs", "src/fmt.rs"});
  expectResolves(resolver,
                 {{"src/net/tcp.rs", "crate::util::fmt::{Display, Write}", {"src/util/fmt.rs"}},
                  {"src/net/tcp.rs", "crate::util::Helper", {"src/util.rs"}},
                  {"src/net/tcp.rs", "super::Socket", {"src/net/mod.rs"}},
                  {"src/net/mod.rs", "self::tcp::Stream", {"src/net/tcp.rs"}},
                  {"src/util.rs", "self::fmt", {"src/util/fmt.rs"}},
                  {"src/net/mod.rs", "super::fmt", {"src/fmt.rs"}},
                  {"src/net/tcp.rs", "std::fmt", {}},
                  {"src/lib.rs", "super::x", {}},
                  // A brace group names each of its items, any of which may be a module.
                  {"src/lib.rs",
                   "crate::{net::tcp,util::{fmt,Helper},self}",
                   {"src/net/tcp.rs", "src/util.rs", "src/util/fmt.rs"}},
                  {"src/net/tcp.rs", "std::io::{self,Write}", {}},
                  // "mod x;" as the parser records it: a child of the declaring module.
                  {"src/lib.rs", "self::net", {"src/net/mod.rs"}},
                  {"src/lib.rs", "self::util", {"src/util.rs"}},
                  {"src/util.rs", "self::fmt", {"src/util/fmt.rs"}},
                  {"src/net/mod.rs", "self::tcp", {"src/net/tcp.rs"}},
                  {"src/net/mod.rs", "self::udp", {}}});
}

// Each file directly in src/bin is a binary crate's root: its modules lie beside it, and
// `crate::` is that binary, not the library.
TEST(ImportResolution, RustBinaryRootsOwnTheirFolder) {
  ImportResolver resolver("/p", {"src/lib.rs", "src/util.rs", "src/bin/tool.rs", "src/bin/args.rs",
                                 "src/bin/tool/args.rs", "src/bin/server/main.rs",
                                 "src/bin/server/conn.rs", "src/bin/server/db.rs"});
  expectResolves(resolver, {{"src/bin/tool.rs", "self::args", {"src/bin/args.rs"}},
                            {"src/bin/tool.rs", "crate::args::Parser", {"src/bin/args.rs"}},
                            {"src/bin/tool.rs", "crate::util", {}},
                            {"src/bin/tool.rs", "super::util", {}},
                            {"src/bin/server/main.rs", "self::conn", {"src/bin/server/conn.rs"}},
                            {"src/bin/server/conn.rs", "crate::db", {"src/bin/server/db.rs"}},
                            {"src/lib.rs", "crate::util", {"src/util.rs"}}});
}

// What a user's file says, parsed and resolved as ingestion does: each written form of an import
// reaches the file it names.
TEST(ImportResolution, ParsedImportFormsReachTheirFiles) {
  testing::TempHome dir;
  write(dir.path() / "go.mod", "module example.com/app\n");
  ImportResolver resolver(
      dir.path().string(),
      {"main.go", "a/a.go", "b/b.go", "c/c.go", "d/d.go", "web/app.ts", "web/a.ts", "web/b.ts",
       "web/c/index.ts", "web/d.js", "web/e.ts", "src/lib.rs", "src/net.rs", "src/net/tcp.rs",
       "src/util/mod.rs", "src/fmt.rs"});
  const struct {
    const char* importer;
    const char* language;
    const char* source;
    Paths want;
  } cases[] = {
      {"main.go",
       "go",
       "package main\n\nimport x \"example.com/app/a\"\nimport (\n\t. \"example.com/app/b\"\n"
       "\t_ \"example.com/app/c\"\n\ty \"example.com/app/d\"\n\t\"fmt\"\n)\n",
       {"a/a.go", "b/b.go", "c/c.go", "d/d.go"}},
      {"web/app.ts",
       "typescript",
       "import {\n  x,\n  y,\n} from './a';\nexport * from './b.js';\nexport { z } from './c';\n"
       "import './d';\nimport type { T } from './e';\nimport React from 'react';\n",
       {"web/a.ts", "web/b.ts", "web/c/index.ts", "web/d.js", "web/e.ts"}},
      {"src/lib.rs",
       "rust",
       "pub mod net;\nmod util;\nmod missing;\nuse std::fmt;\n",
       {"src/net.rs", "src/util/mod.rs"}},
      {"src/net.rs",
       "rust",
       "mod tcp;\nuse crate::{fmt, util::Thing};\n",
       {"src/fmt.rs", "src/net/tcp.rs", "src/util/mod.rs"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.importer);
    Paths found;
    for (const auto& import : parseSourceFile(c.source, c.language).imports) {
      auto files = resolver.resolve(c.importer, import);
      found.insert(found.end(), files.begin(), files.end());
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, c.want);
  }
}

TEST(ImportResolution, KotlinNamesAndSwiftModules) {
  ImportResolver resolver(
      "/p",
      {"src/main/kotlin/org/x/core/module/Module.kt", "src/main/kotlin/org/x/core/module/Ext.kt",
       "src/main/kotlin/org/x/app/Module.kt", "src/main/kotlin/org/x/app/Main.kt",
       "Sources/Utilities/Foundation.swift", "Sources/App/main.swift"},
      {{"src/main/kotlin/org/x/core/module/Ext.kt", {"install"}}});
  expectResolves(resolver, {{"src/main/kotlin/org/x/app/Main.kt",
                             "org.x.core.module.Module",
                             {"src/main/kotlin/org/x/core/module/Module.kt"}},
                            {"src/main/kotlin/org/x/app/Main.kt",
                             "org.x.core.module.install",
                             {"src/main/kotlin/org/x/core/module/Ext.kt"}},
                            {"src/main/kotlin/org/x/app/Main.kt",
                             "org.x.core.module.*",
                             {"src/main/kotlin/org/x/core/module/Ext.kt",
                              "src/main/kotlin/org/x/core/module/Module.kt"}},
                            {"src/main/kotlin/org/x/app/Main.kt", "kotlinx.coroutines.Module", {}},
                            {"Sources/App/main.swift", "Foundation", {}}});
  EXPECT_EQ(implicitScopeOf("Sources/App/main.swift"), implicitScopeOf("Sources/App/x/y.swift"));
  EXPECT_NE(implicitScopeOf("Sources/App/main.swift"),
            implicitScopeOf("Sources/Utilities/Foundation.swift"));
  EXPECT_EQ(implicitScopeOf("a/b.go"), implicitScopeOf("a/c.go"));
  EXPECT_NE(implicitScopeOf("a/b.go"), implicitScopeOf("a/d/c.go"));
  EXPECT_EQ(implicitScopeOf("a/b.ts"), std::nullopt);
}

}  // namespace
}  // namespace nodrel::codeintel
