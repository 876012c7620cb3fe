#include "codeintel/ingestion.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace nodrel::codeintel {
namespace {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The extension as the platform's path functions see it: after the last ".", none for a name
// that begins with its only dot or ends with one.
std::string_view extensionOf(std::string_view name) {
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot + 1);
}

// Closes the directory stream on every path out of the walk.
class DirectoryStream {
 public:
  explicit DirectoryStream(DIR* dir) : dir_(dir) {}
  ~DirectoryStream() {
    if (dir_) closedir(dir_);
  }
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

enum class EntryKind { Directory, RegularFile, Other };

struct Entry {
  std::string name;
  EntryKind kind = EntryKind::Other;
};

// Reads one directory's entries and closes it before the walk goes deeper, so the depth of a
// tree never costs open descriptors. O_NOFOLLOW refuses a directory that was swapped for a
// symbolic link after its parent was read; the root itself is what the user named, so a link
// there is followed.
std::optional<std::vector<Entry>> readEntries(const std::string& directory, bool isRoot) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (isRoot ? 0 : O_NOFOLLOW);
  int fd = open(directory.c_str(), flags);
  if (fd < 0) return std::nullopt;
  DIR* raw = fdopendir(fd);
  if (!raw) {
    close(fd);
    return std::nullopt;
  }
  DirectoryStream dir(raw);
  std::vector<Entry> entries;
  while (dirent* item = readdir(dir.get())) {
    std::string_view name(item->d_name);
    if (name.empty() || name.front() == '.') continue;  // ".", "..", and every dot name
    Entry entry{std::string(name), EntryKind::Other};
    unsigned char type = item->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (fstatat(dirfd(dir.get()), item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) type = DT_DIR;
        if (S_ISREG(st.st_mode)) type = DT_REG;
      }
    }
    if (type == DT_DIR) entry.kind = EntryKind::Directory;
    if (type == DT_REG) entry.kind = EntryKind::RegularFile;
    if (entry.kind != EntryKind::Other) entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

void walk(const std::string& directory, bool isRoot, std::size_t limit,
          std::vector<std::filesystem::path>& found) {
  if (found.size() > limit) return;
  auto entries = readEntries(directory, isRoot);
  if (!entries) return;
  const auto& extensions = supportedSourceExtensions();
  const auto& skipped = skippedDirectoryNames();
  for (const auto& entry : *entries) {
    std::string path = directory;
    if (path.empty() || path.back() != '/') path += '/';
    path += entry.name;
    if (entry.kind == EntryKind::Directory) {
      if (!skipped.contains(entry.name)) walk(path, false, limit, found);
    } else if (extensions.contains(asciiLower(extensionOf(entry.name)))) {
      found.emplace_back(std::move(path));
    }
    if (found.size() > limit) return;
  }
}

}  // namespace

const std::unordered_set<std::string>& supportedSourceExtensions() {
  static const std::unordered_set<std::string> extensions = {
      "swift", "ts", "tsx", "js", "jsx", "kt", "py", "html", "css", "go", "rs"};
  return extensions;
}

const std::unordered_set<std::string>& skippedDirectoryNames() {
  static const std::unordered_set<std::string> names = {"node_modules", ".build", "build",
                                                        "DerivedData",  "Pods",   ".git"};
  return names;
}

std::optional<std::string> languageForExtension(std::string_view extension) {
  std::string ext = asciiLower(extension);
  if (ext == "swift") return "swift";
  if (ext == "ts" || ext == "tsx") return "typescript";
  if (ext == "js" || ext == "jsx") return "javascript";
  if (ext == "kt" || ext == "kts") return "kotlin";
  if (ext == "py") return "python";
  if (ext == "go") return "go";
  if (ext == "rs") return "rust";
  if (ext == "html" || ext == "htm") return "html";
  if (ext == "css") return "css";
  return std::nullopt;
}

std::vector<std::filesystem::path> discoverSourceFiles(const std::filesystem::path& root,
                                                       std::size_t limit) {
  std::vector<std::filesystem::path> found;
  walk(root.string(), true, limit, found);
  return found;
}

}  // namespace nodrel::codeintel
