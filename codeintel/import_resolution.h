// codeintel/import_resolution.h: which files of a project an import names, by the importing
// language's own rule; an import of anything outside the project names none.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace nodrel::codeintel {

class ImportResolver {
 public:
  // `paths`: the project's files, relative to `root` (a normalised project path). `declared`:
  // the names each Kotlin file declares, keyed by its relative path. Go modules are read from
  // the `go.mod` files below `root` as they are first needed.
  ImportResolver(std::string root, const std::vector<std::string>& paths,
                 std::unordered_map<std::string, std::unordered_set<std::string>> declared = {});

  // The relative paths of the project files that `import` (as the importer's parser recorded
  // it) names, in path order, never the importer itself. Never throws for any text.
  std::vector<std::string> resolve(std::string_view importer, std::string_view import);

  // The package files a Go import of `importer` names, in path order, the importer among them
  // when it is one; so its first file stands for the package in stored references. Nothing when
  // the importer is no Go file; empty when the import names no package of the project. The list
  // lives as long as the resolver.
  const std::vector<std::string>* goPackage(std::string_view importer, std::string_view import);

 private:
  struct GoModule {
    std::string directory;  // relative to the root; "" for the root itself
    std::string path;       // the module path its go.mod declares
  };

  std::vector<std::string> resolveGo(const std::string& importer, std::string_view import);
  std::vector<std::string> resolvePython(const std::string& importer, std::string_view import);
  std::vector<std::string> resolveScript(const std::string& importer, std::string_view import,
                                         bool tryExtensions);
  std::vector<std::string> resolveRust(const std::string& importer, std::string_view import);
  std::vector<std::string> resolveKotlin(std::string_view import);

  std::optional<GoModule> goModuleOf(const std::string& directory);
  std::vector<std::string> goPackageFiles(const std::string& directory) const;
  std::optional<std::string> pythonModule(const std::string& base, std::string_view dotted) const;
  std::optional<std::string> rustModuleFile(const std::string& directory, bool crateRoot) const;
  std::string rustCrateRoot(const std::string& importer) const;
  static bool isRustBinaryRoot(const std::string& file);
  const std::vector<std::string>& kotlinPackageDirectories(const std::string& package);
  bool has(const std::string& path) const { return files_.contains(path); }

  std::string root_;
  std::unordered_set<std::string> files_;
  std::unordered_map<std::string, std::vector<std::string>> filesInDirectory_;  // direct children
  std::unordered_map<std::string, std::unordered_set<std::string>> declared_;
  // Python: the folders holding a top-level package, by the package's name.
  std::unordered_map<std::string, std::vector<std::string>> pythonPackageHolders_;
  std::unordered_map<std::string, std::optional<GoModule>> goModules_;  // by directory
  std::unordered_map<std::string, std::vector<std::string>> kotlinPackages_;
  // Go: what an import names from a directory, by directory and import, importer not removed.
  std::unordered_map<std::string, std::vector<std::string>> goResolved_;
};

// The folder part of a relative path: "a/b/c.go" gives "a/b", "c.go" gives "".
std::string directoryOf(std::string_view path);

// A Go file that belongs to its folder's package, so that other packages can import it: a
// ".go" file that is not a test.
bool isGoPackageFile(std::string_view path);

// A Go import of a package is stored as one "references" edge to the package's representative
// (the first file of ImportResolver::goPackage) and is read as a reference to every package file
// of that folder. Whether an edge of `importer` to `representative` is such an edge: it is
// when a Go file imports the package from elsewhere, or from one of the folder's tests. A
// package file never imports its own package, so its edges into its own folder name files.
bool storesGoPackageReference(std::string_view importer, std::string_view representative);

// The scope whose files see one another's declarations without an import: a Go package's
// directory, a Kotlin package's directory, a Swift module (the folder below "Sources" or "Tests"
// that holds the file, or the whole project). Nothing for a language where every use of another
// file goes through an import.
std::optional<std::string> implicitScopeOf(std::string_view path);

}  // namespace nodrel::codeintel
