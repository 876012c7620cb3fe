// platform/file_descriptor.h: an owned POSIX file descriptor, closed on every path out of scope,
// and the close-on-exec pipe the child-process code builds on.
#pragma once

namespace nodrel::platform {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes what is held (if anything) and holds `fd` instead.
  void reset(int fd = -1);
  // Gives up ownership without closing; -1 afterwards.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Both ends close on exec, so a child sees only the ends it is given as its streams. False,
// with errno set and both ends left empty, when no pipe can be made.
bool makePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd);

}  // namespace nodrel::platform
