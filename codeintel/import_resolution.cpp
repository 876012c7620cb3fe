#include "codeintel/import_resolution.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "codeintel/ingestion.h"

namespace nodrel::codeintel {
namespace {

std::string_view extensionOf(std::string_view path) {
  auto slash = path.rfind('/');
  auto name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::string_view fileNameOf(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string stemOf(std::string_view path) {
  auto name = fileNameOf(path);
  auto dot = name.find('.');
  return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

std::string joined(const std::string& directory, std::string_view rest) {
  if (directory.empty()) return std::string(rest);
  if (rest.empty()) return directory;
  return directory + "/" + std::string(rest);
}

// "a/./b/../c" as "a/c"; nothing when it climbs above the root.
std::optional<std::string> normalised(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    auto part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (auto part : parts) {
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    auto end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
}

bool isIdentifier(std::string_view part) {
  if (part.empty()) return false;
  return std::all_of(part.begin(), part.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; });
}

// The module path a go.mod declares, or nothing when it declares none.
std::optional<std::string> goModulePath(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  while (in && std::getline(in, line)) {
    auto begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos || line.compare(begin, 6, "module") != 0) continue;
    auto rest = line.substr(begin + 6);
    if (rest.empty() || (rest[0] != ' ' && rest[0] != '\t')) continue;
    auto first = rest.find_first_not_of(" \t\"");
    if (first == std::string::npos) return std::nullopt;
    // A module path holds "/": only a quote or white space ends it.
    auto last = rest.find_first_of(" \t\"\r", first);
    auto path = rest.substr(first, last == std::string::npos ? std::string::npos : last - first);
    if (path.empty()) return std::nullopt;
    return path;
  }
  return std::nullopt;
}

}  // namespace

std::string directoryOf(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

bool isGoPackageFile(std::string_view path) {
  return extensionOf(path) == "go" && !path.ends_with("_test.go");
}

bool storesGoPackageReference(std::string_view importer, std::string_view representative) {
  // Go source by its extension in any case, as languageForExtension tells it; asked for every
  // edge to a package, so without copying either path.
  const auto extension = extensionOf(importer);
  if (extension.size() != 2 || std::tolower(static_cast<unsigned char>(extension[0])) != 'g' ||
      std::tolower(static_cast<unsigned char>(extension[1])) != 'o') {
    return false;
  }
  auto folder = [](std::string_view path) {
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  };
  return !isGoPackageFile(importer) || folder(importer) != folder(representative);
}

std::optional<std::string> implicitScopeOf(std::string_view path) {
  const auto extension = extensionOf(path);
  if (extension == "go") return "go:" + directoryOf(path);
  if (extension == "kt" || extension == "kts") return "kotlin:" + directoryOf(path);
  if (extension == "swift") {
    // SwiftPM's layout: every folder below Sources/ or Tests/ is a module of its own.
    const std::string directory = directoryOf(path);
    auto parts = split(directory, "/");
    std::string module;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      if (parts[i] == "Sources" || parts[i] == "Tests") {
        for (std::size_t j = 0; j <= i + 1; ++j) module += std::string(parts[j]) + "/";
        break;
      }
    }
    return "swift:" + module;
  }
  return std::nullopt;
}

ImportResolver::ImportResolver(
    std::string root, const std::vector<std::string>& paths,
    std::unordered_map<std::string, std::unordered_set<std::string>> declared)
    : root_(std::move(root)), declared_(std::move(declared)) {
  for (const auto& path : paths) {
    if (!files_.insert(path).second) continue;
    filesInDirectory_[directoryOf(path)].push_back(path);
  }
  for (auto& [directory, files] : filesInDirectory_) std::sort(files.begin(), files.end());
  // A top-level package is a folder with an __init__.py whose parent has none.
  for (const auto& path : files_) {
    if (fileNameOf(path) != "__init__.py") continue;
    const auto package = directoryOf(path);
    if (package.empty()) continue;
    const auto holder = directoryOf(package);
    if (!holder.empty() && files_.contains(holder + "/__init__.py")) continue;
    pythonPackageHolders_[std::string(fileNameOf(package))].push_back(holder);
  }
  for (auto& [name, holders] : pythonPackageHolders_) std::sort(holders.begin(), holders.end());
}

std::vector<std::string> ImportResolver::resolve(std::string_view importerView,
                                                 std::string_view import) {
  const std::string importer(importerView);
  if (import.empty()) return {};
  const auto language = languageForExtension(extensionOf(importer));
  if (!language) return {};
  std::vector<std::string> found;
  if (const auto* package = *language == "go" ? goPackage(importer, import) : nullptr) {
    found.reserve(package->size());
    for (const auto& path : *package) {
      if (path != importer) found.push_back(path);
    }
    return found;
  } else if (*language == "python") {
    found = resolvePython(importer, import);
  } else if (*language == "typescript" || *language == "javascript") {
    found = resolveScript(importer, import, true);
  } else if (*language == "html" || *language == "css") {
    found = resolveScript(importer, import, false);
  } else if (*language == "rust") {
    found = resolveRust(importer, import);
  } else if (*language == "kotlin") {
    found = resolveKotlin(import);
  }
  // Swift imports name modules, and a module's files see each other without one.
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  std::erase(found, importer);
  return found;
}

const std::vector<std::string>* ImportResolver::goPackage(std::string_view importerView,
                                                          std::string_view import) {
  const std::string importer(importerView);
  const auto language = languageForExtension(extensionOf(importer));
  if (!language || *language != "go") return nullptr;
  // Every file of a package directory imports the same packages: what one import names
  // follows from its directory alone, so it is worked out once for all of them.
  std::string key = directoryOf(importer);
  key.push_back('\0');
  key += import;
  auto known = goResolved_.find(key);
  if (known == goResolved_.end()) {
    auto found = import.empty() ? std::vector<std::string>{} : resolveGo(importer, import);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    known = goResolved_.emplace(std::move(key), std::move(found)).first;
  }
  return &known->second;
}

std::optional<ImportResolver::GoModule> ImportResolver::goModuleOf(const std::string& directory) {
  if (auto it = goModules_.find(directory); it != goModules_.end()) return it->second;
  std::optional<GoModule> module;
  std::error_code ec;
  const auto file = std::filesystem::path(root_) / directory / "go.mod";
  if (std::filesystem::is_regular_file(file, ec)) {
    if (auto path = goModulePath(file)) module = GoModule{directory, *path};
  }
  if (!module && !directory.empty()) module = goModuleOf(directoryOf(directory));
  goModules_.emplace(directory, module);
  return module;
}

std::vector<std::string> ImportResolver::goPackageFiles(const std::string& directory) const {
  std::vector<std::string> files;
  auto it = filesInDirectory_.find(directory);
  if (it == filesInDirectory_.end()) return files;
  for (const auto& path : it->second) {
    // Test files belong to no package that another file can import.
    if (isGoPackageFile(path)) files.push_back(path);
  }
  return files;
}

std::vector<std::string> ImportResolver::resolveGo(const std::string& importer,
                                                   std::string_view import) {
  const auto module = goModuleOf(directoryOf(importer));
  if (!module) return {};
  const std::string path(import);
  std::optional<std::string> directory;
  // The standard library's own tree imports its packages by their folder; paths with a dot
  // in their first element name other modules, vendored there.
  const bool dotted = path.substr(0, path.find('/')).find('.') != std::string::npos;
  if (module->path == "std" && !dotted) {
    directory = joined(module->directory, path);
  } else if (path == module->path) {
    directory = module->directory;
  } else if (path.starts_with(module->path + "/")) {
    directory = joined(module->directory, path.substr(module->path.size() + 1));
  }
  if (directory) {
    if (auto files = goPackageFiles(*directory); !files.empty()) return files;
  }
  if (auto files = goPackageFiles(joined(joined(module->directory, "vendor"), path));
      !files.empty()) {
    return files;
  }
  // Every module sees the standard library: within the toolchain's own tree (cmd inside std)
  // that is the enclosing std module's folder.
  if (!dotted && module->path != "std") {
    for (auto outer = module; outer && !outer->directory.empty();) {
      outer = goModuleOf(directoryOf(outer->directory));
      if (outer && outer->path == "std") return goPackageFiles(joined(outer->directory, path));
    }
  }
  return {};
}

std::optional<std::string> ImportResolver::pythonModule(const std::string& base,
                                                        std::string_view dotted) const {
  std::string relative;
  if (!dotted.empty()) {
    for (auto part : split(dotted, ".")) {
      if (!isIdentifier(part)) return std::nullopt;
      if (!relative.empty()) relative += '/';
      relative += part;
    }
  }
  const std::string path = joined(base, relative);
  if (!relative.empty() && has(path + ".py")) return path + ".py";
  if (has(joined(path, "__init__.py"))) return joined(path, "__init__.py");
  return std::nullopt;
}

std::vector<std::string> ImportResolver::resolvePython(const std::string& importer,
                                                       std::string_view import) {
  if (import.front() == '.') {
    const auto dots = import.find_first_not_of('.');
    const std::size_t levels = dots == std::string_view::npos ? import.size() : dots;
    std::string base = directoryOf(importer);
    for (std::size_t i = 1; i < levels; ++i) {
      if (base.empty()) return {};
      base = directoryOf(base);
    }
    auto module = pythonModule(base, import.substr(levels));
    if (module) return {*module};
    return {};
  }
  // Only from the places an interpreter started in the project searches: its root, src/, and
  // the folders holding its top-level packages; a module found nowhere there is the standard
  // library's or an installed one, whatever file shares its name.
  std::vector<std::string> roots = {"", "src"};
  const auto top = std::string(import.substr(0, import.find('.')));
  if (auto it = pythonPackageHolders_.find(top); it != pythonPackageHolders_.end()) {
    roots.insert(roots.end(), it->second.begin(), it->second.end());
  }
  for (const auto& root : roots) {
    if (auto module = pythonModule(root, import)) return {*module};
  }
  return {};
}

std::vector<std::string> ImportResolver::resolveScript(const std::string& importer,
                                                       std::string_view import,
                                                       bool tryExtensions) {
  // Bare specifiers name packages; URLs and absolute paths lie outside the tree.
  const bool relative =
      import == "." || import == ".." || import.starts_with("./") || import.starts_with("../");
  const bool markupRelative = !tryExtensions && import.find("://") == std::string_view::npos &&
                              !import.starts_with("/") && !import.starts_with("data:");
  if (!relative && !markupRelative) return {};
  auto cut = import.find_first_of("?#");
  auto path = normalised(joined(directoryOf(importer), import.substr(0, cut)));
  if (!path) return {};
  if (!path->empty() && has(*path) && (!tryExtensions || !extensionOf(*path).empty())) {
    return {*path};
  }
  if (!tryExtensions) return {};
  std::vector<std::string> candidates;
  const auto extension = extensionOf(*path);
  if (extension == "js" || extension == "jsx" || extension == "mjs" || extension == "cjs") {
    // Compiled output is written as the import: its source is the .ts beside it.
    const std::string stem = path->substr(0, path->size() - extension.size() - 1);
    for (const char* suffix : {".ts", ".tsx", ".d.ts"}) candidates.push_back(stem + suffix);
  }
  for (const char* suffix : {".ts", ".tsx", ".js", ".jsx", ".d.ts"}) {
    candidates.push_back(*path + suffix);
  }
  for (const char* index : {"index.ts", "index.tsx", "index.js", "index.jsx", "index.d.ts"}) {
    candidates.push_back(joined(*path, index));
  }
  for (const auto& candidate : candidates) {
    if (has(candidate)) return {candidate};
  }
  return {};
}

// Cargo builds each file directly inside src/bin as a binary crate of its own: it is the root of
// its crate, so its own `mod x;` lies beside it and `crate::` starts from its folder, not from
// the library's src/.
bool ImportResolver::isRustBinaryRoot(const std::string& file) {
  const std::string directory = directoryOf(file);
  return fileNameOf(directory) == "bin" && fileNameOf(directoryOf(directory)) == "src";
}

std::string ImportResolver::rustCrateRoot(const std::string& importer) const {
  if (isRustBinaryRoot(importer)) return directoryOf(importer);
  // The nearest folder above the file that holds lib.rs or main.rs, else the nearest "src".
  std::optional<std::string> src;
  for (std::string directory = directoryOf(importer);; directory = directoryOf(directory)) {
    if (has(joined(directory, "lib.rs")) || has(joined(directory, "main.rs"))) return directory;
    if (!src && fileNameOf(directory) == "src") src = directory;
    if (directory.empty()) break;
  }
  return src.value_or(directoryOf(importer));
}

std::optional<std::string> ImportResolver::rustModuleFile(const std::string& directory,
                                                          bool crateRoot) const {
  if (crateRoot) {
    for (const char* name : {"lib.rs", "main.rs"}) {
      if (has(joined(directory, name))) return joined(directory, name);
    }
    return std::nullopt;
  }
  if (!directory.empty() && has(directory + ".rs")) return directory + ".rs";
  if (has(joined(directory, "mod.rs"))) return joined(directory, "mod.rs");
  return std::nullopt;
}

std::vector<std::string> ImportResolver::resolveRust(const std::string& importer,
                                                     std::string_view import) {
  // "a::{b, c::d, self}" names each of a::b, a::c::d and a: every item may be a module.
  const auto group = import.starts_with("{") ? 0 : import.find("::{");
  if (group != std::string_view::npos && import.ends_with("}")) {
    const auto prefix = import.substr(0, group);
    const auto open = import.find('{', group);
    const auto inner = import.substr(open + 1, import.size() - open - 2);
    std::vector<std::string> found;
    std::size_t depth = 0, start = 0;
    for (std::size_t i = 0; i <= inner.size(); ++i) {
      if (i < inner.size() && inner[i] == '{') ++depth;
      if (i < inner.size() && inner[i] == '}' && depth > 0) --depth;
      if (i < inner.size() && (inner[i] != ',' || depth > 0)) continue;
      auto item = inner.substr(start, i - start);
      while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front()))) {
        item.remove_prefix(1);
      }
      while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back()))) {
        item.remove_suffix(1);
      }
      start = i + 1;
      if (item.empty()) continue;
      std::string path(prefix);
      if (item != "self") {
        if (!path.empty()) path += "::";
        path += item;
      }
      if (path.empty()) continue;
      auto more = resolveRust(importer, path);
      found.insert(found.end(), more.begin(), more.end());
    }
    return found;
  }
  auto parts = split(import, "::");
  // "{A, B}" and "*" name items of the module before them.
  while (!parts.empty() &&
         (parts.back().empty() || parts.back().front() == '{' || parts.back() == "*")) {
    parts.pop_back();
  }
  if (parts.empty()) return {};
  const std::string crate = rustCrateRoot(importer);
  std::string base;
  std::size_t next = 1;
  if (parts[0] == "crate") {
    base = crate;
  } else if (parts[0] == "self" || parts[0] == "super") {
    // A file's own children live in the folder of its name, unless it is mod.rs or a root.
    const auto stem = stemOf(importer);
    base = directoryOf(importer);
    const bool root =
        base == crate && (stem == "lib" || stem == "main" || isRustBinaryRoot(importer));
    if (stem != "mod" && !root) {
      base = joined(base, stem);
    }
    next = parts[0] == "self" ? 1 : 0;
    for (; next < parts.size() && parts[next] == "super"; ++next) {
      if (base == crate) return {};
      base = directoryOf(base);
    }
  } else {
    return {};  // another crate
  }
  // The longest module path that names a file; what follows it names items inside.
  for (std::size_t end = parts.size(); end >= next; --end) {
    std::string directory = base;
    bool valid = true;
    for (std::size_t i = next; i < end; ++i) {
      if (!isIdentifier(parts[i])) {
        valid = false;
        break;
      }
      directory = joined(directory, parts[i]);
    }
    if (valid) {
      if (auto file = rustModuleFile(directory, end == next && directory == crate)) return {*file};
    }
    if (end == next) break;
  }
  return {};
}

const std::vector<std::string>& ImportResolver::kotlinPackageDirectories(
    const std::string& package) {
  if (auto it = kotlinPackages_.find(package); it != kotlinPackages_.end()) return it->second;
  // A package's folder ends with its path below whichever source root holds it.
  std::vector<std::string> directories;
  for (const auto& [directory, files] : filesInDirectory_) {
    if (directory == package || directory.ends_with("/" + package))
      directories.push_back(directory);
  }
  return kotlinPackages_.emplace(package, std::move(directories)).first->second;
}

std::vector<std::string> ImportResolver::resolveKotlin(std::string_view import) {
  auto parts = split(import, ".");
  const bool everything = parts.back() == "*";
  if (everything) parts.pop_back();
  if (parts.empty()) return {};
  auto packageOf = [&](std::size_t count) {
    std::string package;
    for (std::size_t i = 0; i < count; ++i) {
      if (!package.empty()) package += '/';
      package += parts[i];
    }
    return package;
  };
  auto kotlinFiles = [&](const std::string& directory) {
    std::vector<std::string> files;
    for (const auto& path : filesInDirectory_.at(directory)) {
      const auto extension = extensionOf(path);
      if (extension == "kt" || extension == "kts") files.push_back(path);
    }
    return files;
  };
  std::vector<std::string> found;
  if (everything) {
    for (const auto& directory : kotlinPackageDirectories(packageOf(parts.size()))) {
      auto files = kotlinFiles(directory);
      found.insert(found.end(), files.begin(), files.end());
    }
    return found;
  }
  // `a.b.C` and `a.b.C.Inner` both name C of package a.b: the longest package that holds a
  // file declaring the next name wins.
  for (std::size_t count = parts.size() - 1; count >= 1; --count) {
    const std::string name(parts[count]);
    for (const auto& directory : kotlinPackageDirectories(packageOf(count))) {
      for (const auto& path : kotlinFiles(directory)) {
        auto declared = declared_.find(path);
        if ((declared != declared_.end() && declared->second.contains(name)) ||
            stemOf(path) == name) {
          found.push_back(path);
        }
      }
    }
    if (!found.empty() || count == 1) break;
  }
  return found;
}

}  // namespace nodrel::codeintel
