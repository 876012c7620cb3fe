#include "codeintel/ingestion.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text = "x\n") {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

std::vector<std::string> relativeNames(const std::vector<fs::path>& files, const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.lexically_relative(root).generic_string());
  return names;
}

TEST(Ingestion, LanguageForExtension) {
  struct Case {
    std::string ext;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"swift", "swift"},   {"SWIFT", "swift"},    {"ts", "typescript"}, {"tsx", "typescript"},
      {"js", "javascript"}, {"jsx", "javascript"}, {"kt", "kotlin"},     {"kts", "kotlin"},
      {"py", "python"},     {"go", "go"},          {"rs", "rust"},       {"html", "html"},
      {"htm", "html"},      {"css", "css"},        {"md", std::nullopt}, {"", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ext);
    EXPECT_EQ(languageForExtension(c.ext), c.want);
  }
  EXPECT_EQ(supportedSourceExtensions().size(), 11u);
  EXPECT_EQ(skippedDirectoryNames().size(), 6u);
}

TEST(Ingestion, DiscoversRegularSourceFilesOnly) {
  testing::TempHome home;
  const fs::path root = home.path() / "project";
  const fs::path outside = home.path() / "outside";
  for (const char* path : {"App.SWIFT",
                           "src/a.ts",
                           "src/b.tsx",
                           "Build/gen.js",
                           "lib/x.py",
                           "lib/y.go",
                           "lib/z.rs",
                           "web/i.html",
                           "web/s.css",
                           "web/k.kt",
                           "web/c.jsx",
                           "noext",
                           "README.md",
                           "page.htm",
                           "build.gradle.kts",
                           ".env",
                           ".hidden.ts",
                           ".github/w.js",
                           "node_modules/p/i.js",
                           "build/out.js",
                           ".build/o.swift",
                           "DerivedData/d.swift",
                           "Pods/p.swift",
                           ".git/h.js",
                           "deep/er/still.py"}) {
    writeFile(root / path);
  }
  writeFile(outside / "secret.ts");
  writeFile(outside / "dir/inner.ts");
  fs::create_symlink(outside / "secret.ts", root / "src/link.ts");
  fs::create_directory_symlink(outside / "dir", root / "linked");
  ASSERT_EQ(mkfifo((root / "src/pipe.js").c_str(), 0600), 0);
  fs::create_directories(root / "folder.ts");  // a directory with a source-like name

  EXPECT_EQ(relativeNames(discoverSourceFiles(root), root),
            (std::vector<std::string>{"App.SWIFT", "Build/gen.js", "deep/er/still.py", "lib/x.py",
                                      "lib/y.go", "lib/z.rs", "src/a.ts", "src/b.tsx", "web/c.jsx",
                                      "web/i.html", "web/k.kt", "web/s.css"}));
  EXPECT_TRUE(discoverSourceFiles(home.path() / "missing").empty());
  EXPECT_TRUE(discoverSourceFiles(root / "App.SWIFT").empty());

  // The root itself may be a link: it is what the user named.
  fs::create_directory_symlink(root, home.path() / "alias");
  EXPECT_EQ(discoverSourceFiles(home.path() / "alias").size(), 12u);
}

}  // namespace
}  // namespace nodrel::codeintel
