#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

namespace nodrel::platform {

void FileDescriptor::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

bool makePipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  return true;
}

}  // namespace nodrel::platform
