// codeintel/prepared_file.h: what one ingestion run knows of a file between reading it and
// writing its rows: the stored row it is compared with and what reading and parsing made of it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "codeintel/code_ingestion_service.h"
#include "codeintel/parsed_file.h"
#include "codeintel/source_file.h"
#include "platform/sha256.h"

namespace nodrel::codeintel {

// What a file's stored row says, read for every discovered file before the files are read.
struct CodeIngestionService::StoredFile {
  std::optional<std::string> contentHash;
  std::optional<FileStamp> stamp;  // only one taken with the stored content
};

struct CodeIngestionService::Prepared {
  std::filesystem::path file;
  std::string root;
  std::string relativePath;
  std::string fileID;
  std::optional<std::string> language;  // of the file's extension
  std::optional<std::string> error;     // the file fails with this text
  bool unchangedStamp = false;          // skipped without being read
  std::optional<std::string> contentHash;
  std::optional<FileStamp> stamp;    // as read; kept only once settled
  std::optional<ParsedFile> parsed;  // parsed when the stored hash was known to differ
  std::string text;                  // kept only when it was not parsed
};

// The relative path of a file below the root, or nothing when it does not lie below it.
inline std::optional<std::string> relativePathOf(const std::string& filePath,
                                                 const std::string& root) {
  const std::string prefix = root.ends_with('/') ? root : root + "/";
  if (!filePath.starts_with(prefix) || filePath.size() == prefix.size()) return std::nullopt;
  return filePath.substr(prefix.size());
}

inline std::string fileIDOf(const std::string& root, const std::string& relativePath) {
  return platform::sha256Hex((root.ends_with('/') ? root : root + "/") + relativePath);
}

}  // namespace nodrel::codeintel
