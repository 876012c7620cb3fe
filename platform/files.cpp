#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace nodrel::platform {
namespace {

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
  return what + " " + path.string() + ": " + std::strerror(error);
}

// Closes the descriptor and removes the temporary file unless released.
class TemporaryFile {
 public:
  TemporaryFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  ~TemporaryFile() {
    fd_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_.get(); }
  const std::filesystem::path& path() const { return path_; }
  // The result of close(2): a write the kernel deferred can fail only here.
  int close() { return ::close(fd_.release()); }
  void release() { path_.clear(); }

 private:
  FileDescriptor fd_;
  std::filesystem::path path_;
};

TemporaryFile createTemporaryBeside(const std::filesystem::path& path) {
  std::random_device device;
  const std::filesystem::path directory =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".";
    name += path.filename().string();
    name += ".tmp-";
    name += std::to_string(device());
    const std::filesystem::path candidate = directory / name;
    // 0666 lets the umask decide a new file's mode, as it would for a plain write.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return TemporaryFile(fd, candidate);
    if (errno != EEXIST) throw FileError(describe("cannot create a file beside", path, errno));
  }
  throw FileError("cannot create a temporary file beside " + path.string());
}

void writeAll(int fd, std::string_view contents, const std::filesystem::path& path) {
  if (!writeFully(fd, contents)) throw FileError(describe("cannot write", path, errno));
}

void finishAtomicWrite(TemporaryFile& temp, const std::filesystem::path& path,
                       std::string_view contents, bool durable = true) {
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    if (::fchmod(temp.fd(), existing.st_mode & 07777) != 0) {
      throw FileError(describe("cannot keep the permissions of", path, errno));
    }
  }
  writeAll(temp.fd(), contents, path);
  if (durable && ::fsync(temp.fd()) != 0) throw FileError(describe("cannot flush", path, errno));
  if (temp.close() != 0) throw FileError(describe("cannot write", path, errno));
  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    throw FileError(describe("cannot replace", path, errno));
  }
  temp.release();
  if (!durable) return;
  // The rename itself lives in the directory; without this a crash may bring the old file back.
  const std::filesystem::path directory =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const FileDescriptor dirFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.valid()) ::fsync(dirFd.get());
}

}  // namespace

bool writeFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes) {
  auto tail = readFileFrom(path, 0, maxBytes);
  if (!tail) return std::nullopt;
  return std::move(tail->bytes);
}

std::optional<FileTail> readFileFrom(const std::filesystem::path& path, std::uint64_t offset,
                                     std::size_t maxBytes) {
  // O_NONBLOCK keeps the open of a FIFO without a writer from waiting for one.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  FileTail tail;
  tail.size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t available = tail.size > offset ? tail.size - offset : 0;
  const std::size_t limit = static_cast<std::size_t>(std::min<std::uint64_t>(available, maxBytes));
  tail.bytes.reserve(limit);
  char buffer[65536];
  std::uint64_t position = offset;
  while (tail.bytes.size() < limit) {
    const std::size_t want = std::min(sizeof buffer, limit - tail.bytes.size());
    const ssize_t n = ::pread(fd.get(), buffer, want, static_cast<off_t>(position));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      return std::nullopt;
    }
    if (n == 0) break;
    tail.bytes.append(buffer, static_cast<std::size_t>(n));
    position += static_cast<std::uint64_t>(n);
  }
  return tail;
}

void atomicWriteFile(const std::filesystem::path& path, std::string_view contents) {
  TemporaryFile temp = createTemporaryBeside(path);
  finishAtomicWrite(temp, path, contents);
}

void atomicWriteFile(const std::filesystem::path& path, std::string_view contents,
                     const std::string& temporaryName) {
  const std::filesystem::path directory =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const std::filesystem::path temporary = directory / temporaryName;
  // O_NOFOLLOW: a link planted under the temporary name must not redirect the write.
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) throw FileError(describe("cannot create", temporary, errno));
  TemporaryFile temp(fd, temporary);
  finishAtomicWrite(temp, path, contents);
}

void replaceFile(const std::filesystem::path& path, std::string_view contents) {
  TemporaryFile temp = createTemporaryBeside(path);
  finishAtomicWrite(temp, path, contents, /*durable=*/false);
}

FileLock::FileLock(const std::filesystem::path& path) {
  const std::filesystem::path lockPath = path.string() + ".lock";
  fd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd_.valid()) throw FileError(describe("cannot open the lock file", lockPath, errno));
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    fd_.reset();
    throw FileError(describe("cannot lock", lockPath, error));
  }
}

}  // namespace nodrel::platform
