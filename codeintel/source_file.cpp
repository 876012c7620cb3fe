#include "codeintel/source_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file_descriptor.h"
#include "platform/text.h"

namespace nodrel::codeintel {
namespace {

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

FileStamp stampOf(const struct stat& st) {
  return {static_cast<std::int64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim),
          static_cast<std::int64_t>(st.st_ino)};
}

bool settled(const FileStamp& stamp, std::chrono::nanoseconds after) {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return now - std::max(stamp.modifiedNs, stamp.changedNs) >= after.count();
}

std::optional<FileStamp> peekStamp(const std::string& path) {
  struct stat st {};
  if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return stampOf(st);
}

SourceRead readSourceText(const std::filesystem::path& file) {
  platform::FileDescriptor fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    throw IngestionError(std::string("could not be read: ") + std::strerror(errno));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    throw IngestionError(std::string("could not be read: ") + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) throw IngestionError("not a regular file");
  if (st.st_size > kMaxSourceFileBytes) {
    throw IngestionError("file too large (" + std::to_string(st.st_size) + " bytes, limit " +
                         std::to_string(kMaxSourceFileBytes) + " bytes); not parsed");
  }
  SourceRead read{std::string(), stampOf(st)};
  std::string& text = read.text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) text.resize(text.size() + 4096);
    ssize_t n = ::read(fd.get(), text.data() + filled, text.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IngestionError(std::string("could not be read: ") + std::strerror(errno));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    if (filled > static_cast<std::size_t>(kMaxSourceFileBytes)) {
      throw IngestionError("file too large (more than " + std::to_string(kMaxSourceFileBytes) +
                           " bytes); not parsed");
    }
  }
  text.resize(filled);
  if (!platform::isValidUtf8(text)) throw IngestionError("not valid UTF-8 text");
  return read;
}

}  // namespace nodrel::codeintel
