// codeintel/ingestion.h: which files of a project tree ingestion reads: the source-file
// vocabulary, the project path in the one form every run stores and compares, and discovery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/paths.h"

namespace nodrel::codeintel {

// A run that cannot start (the project directory is missing or is no directory), or one file
// that cannot be read (then caught by the run and listed in `errors`).
class IngestionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Files above this size are reported as errors instead of being parsed.
inline constexpr std::int64_t kMaxSourceFileBytes = 2 * 1024 * 1024;

// A run that finds more source files than this was pointed at something other than a project
// (a disk, a home full of checkouts) and stops before writing anything.
inline constexpr std::size_t kMaxSourceFiles = 200'000;

// The 11 extensions (lower case) whose files discovery yields; built once per process.
const std::unordered_set<std::string>& supportedSourceExtensions();
// The 6 directory names that discovery does not enter (compared case-sensitively).
const std::unordered_set<std::string>& skippedDirectoryNames();

// "swift", "typescript", "javascript", "kotlin", "python", "go", "rust", "html", "css", or
// nothing; the extension is lower-cased first.
std::optional<std::string> languageForExtension(std::string_view extension);

// The project path as every run stores and compares it; the same key the other tables use.
using platform::normaliseProjectPath;

// The source files below `root`, depth first, entries of each directory in byte order of
// their names. Only regular files are yielded and symbolic links are never followed (neither
// to files nor to directories); names beginning with "." and the skipped directory names are
// passed over without being entered; directories that cannot be read are passed over. An
// unreadable or missing root gives an empty list. The walk stops once it has found more than
// `limit` files, so a list longer than `limit` means "too many". Never throws.
std::vector<std::filesystem::path> discoverSourceFiles(const std::filesystem::path& root,
                                                       std::size_t limit = kMaxSourceFiles);

}  // namespace nodrel::codeintel
