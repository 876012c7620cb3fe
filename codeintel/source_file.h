// codeintel/source_file.h: reading one source file for ingestion, and the stamp of what it
// looked like then, which lets a later run pass over the file without reading it again.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "codeintel/ingestion.h"

namespace nodrel::codeintel {

// What a file looked like when it was read: any write to it, a rename over it or a restored
// modification time changes one of these.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  std::int64_t changedNs = 0;
  std::int64_t inode = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

FileStamp stampOf(const struct stat& st);

// Whether the file was last written long enough ago for its stamp to be trusted later.
bool settled(const FileStamp& stamp, std::chrono::nanoseconds after);

// The stamp of the file at `path` without opening it, when it is a regular file.
std::optional<FileStamp> peekStamp(const std::string& path);

struct SourceRead {
  std::string text;
  FileStamp stamp;  // taken before the read, so a later write always shows in the next stamp
};

// The whole text of a regular file of at most kMaxSourceFileBytes. O_NONBLOCK keeps a FIFO or
// device put in the file's place from blocking the run; O_NOFOLLOW refuses a symbolic link.
// Throws IngestionError with the text the run lists for the file.
SourceRead readSourceText(const std::filesystem::path& file);

}  // namespace nodrel::codeintel
