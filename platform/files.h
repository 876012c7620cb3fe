// platform/files.h: whole-file reads and atomic writes, and an advisory file lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/file_descriptor.h"

namespace nodrel::platform {

class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes all of `bytes` to the descriptor, going on after short and interrupted writes. False,
// with errno set, when a write fails.
bool writeFully(int fd, std::string_view bytes);

// What readFile takes at most unless told otherwise.
inline constexpr std::size_t kReadFileLimit = std::size_t{256} << 20;

// The bytes of a regular file, at most `maxBytes` of them and never more than its size when
// opened; nothing when it is not a regular file or cannot be opened or read. The open and the
// reads never block, so a FIFO, a device or a /proc file cannot hang the caller: a FIFO or a
// device is refused, and a /proc file reads as the size it reports (mostly empty).
std::optional<std::string> readFile(const std::filesystem::path& path,
                                    std::size_t maxBytes = kReadFileLimit);

// The part of a regular file from `offset` on, read under the rules of readFile: at most
// `maxBytes`, never past the size at open, never blocking. `size` is that size, so a caller can
// tell that the file shrank below an offset it kept.
struct FileTail {
  std::string bytes;
  std::uint64_t size = 0;
};
std::optional<FileTail> readFileFrom(const std::filesystem::path& path, std::uint64_t offset,
                                     std::size_t maxBytes = kReadFileLimit);

// Writes to a temporary file in the same directory, fsyncs it and renames it over `path`; the
// permissions of an existing file are kept. Throws FileError; on failure `path` is unchanged.
void atomicWriteFile(const std::filesystem::path& path, std::string_view contents);
// The same through a temporary file of a fixed name beside `path` (a stale one left by a crash
// is overwritten); the temporary file is removed when the write fails.
void atomicWriteFile(const std::filesystem::path& path, std::string_view contents,
                     const std::string& temporaryName);

// As atomicWriteFile, without waiting for the disk: a reader sees the old file or the new one
// whole, but after a crash the new one may be lost or read empty. For state that a later run
// can rebuild, written often enough that the flushes would be most of its cost.
void replaceFile(const std::filesystem::path& path, std::string_view contents);

// An exclusive advisory lock (flock) on `path` + ".lock", held for the object's lifetime.
// Throws FileError when the lock file cannot be opened.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  FileDescriptor fd_;  // closing it releases the lock
};

}  // namespace nodrel::platform
