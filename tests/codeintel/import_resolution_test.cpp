#include "codeintel/import_resolution.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
                  {"src/lib.rs", "super::x", {}}});
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
