// store/pending_write_queue.h: memory writes refused for capacity, held in memory until the
// next write retries them, and spilled to `pending-writes.json` (a record, never read back for
// insertion) when more than 25 are waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/time.h"
#include "store/memory.h"

namespace nodrel::store {

struct PendingMemoryWrite {
  std::string body;
  MemoryTier tier = MemoryTier::Episodic;
  std::optional<std::string> project = std::nullopt;
  MemoryType type = MemoryType::Observation;
  std::optional<std::string> tags = std::nullopt;
  std::int64_t importance = 5;  // as the writer gave it, not clamped
  std::optional<std::string> contextPath = std::nullopt;
  std::optional<std::string> sourceSession = std::nullopt;
  platform::Instant queuedAt{};
  bool reviveForgotten = false;  // the write's own option, kept while it waits

  friend bool operator==(const PendingMemoryWrite&, const PendingMemoryWrite&) = default;
};

// The most writes held in memory once an append has returned.
inline constexpr std::size_t kPendingWritesKeptInMemory = 25;

// The data directory's `pending-writes.json`.
std::filesystem::path pendingWritesFilePath();

// Compact JSON array; optional fields without a value have no key, "queuedAt" is seconds since
// 2001-01-01T00:00:00Z, "reviveForgotten" is written only when true (an entry without it, as
// earlier versions wrote, is false; they ignore the key). Invalid UTF-8 in a text is written as
// U+FFFD, so encoding cannot fail.
std::string encodePendingWrites(const std::vector<PendingMemoryWrite>& writes);
// Nothing unless the text is a JSON array of which every element is a complete pending write
// with a known tier and type.
std::optional<std::vector<PendingMemoryWrite>> decodePendingWrites(std::string_view json);

class PendingWriteQueue {
 public:
  PendingWriteQueue() = default;
  PendingWriteQueue(const PendingWriteQueue&) = delete;
  PendingWriteQueue& operator=(const PendingWriteQueue&) = delete;

  // A copy of the waiting writes, oldest first.
  std::vector<PendingMemoryWrite> items() const;
  std::size_t size() const;
  // Removes and returns every waiting write, oldest first.
  std::vector<PendingMemoryWrite> takeAll();

  // Appends the write; when 26 or more are then held, spills them all and keeps the newest 25.
  // Never throws.
  void enqueue(PendingMemoryWrite write);

  // Appends to the file, under its advisory lock, every held write that no earlier spill of
  // this queue put there (a write retried and queued again is the same write, whatever its
  // "queuedAt"), then trims memory to the newest 25 whether or not the file could be written.
  // A file that does not decode is renamed aside (".corrupt-" + milliseconds since 1970) rather
  // than overwritten, and the new file gets every held write. Never throws.
  void spillToDisk();

  // How many entries the file decodes to; 0 when it is missing or does not decode. The file is
  // decoded only when it changed since this queue last counted or wrote it.
  std::int64_t fileCount() const;

 private:
  // The file's size and modification time: a file with the stamp it had when it was last
  // counted or written here holds what it held then.
  struct FileStamp {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
  };
  // The entry count of the file as last counted or written, so that a count, asked for with
  // every refused write, decodes the file only when someone else has changed it.
  struct CountedFile {
    std::filesystem::path path;
    FileStamp stamp;
    std::optional<std::int64_t> entries;  // nothing when the file does not decode
  };

  static std::optional<FileStamp> stampOf(const std::filesystem::path& path);
  std::optional<std::optional<std::int64_t>> knownCount(const std::filesystem::path& path,
                                                        const FileStamp& stamp) const;
  void rememberCount(const std::filesystem::path& path, const FileStamp& stamp,
                     std::optional<std::int64_t> entries) const;
  void spillLocked();

  mutable std::mutex mutex_;
  std::vector<PendingMemoryWrite> items_;
  // Held writes (as last spilled) that the file already has.
  std::vector<PendingMemoryWrite> inFile_;
  mutable std::mutex countedMutex_;
  mutable std::optional<CountedFile> counted_;
};

}  // namespace nodrel::store
