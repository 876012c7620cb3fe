#include "cli/output.h"

#include <unistd.h>

#include <cerrno>

namespace nodrel::cli {
namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the reader has gone; there is nobody left to tell
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void writeOut(std::string_view message) { writeAll(STDOUT_FILENO, message); }
void writeErr(std::string_view message) { writeAll(STDERR_FILENO, message); }

}  // namespace nodrel::cli
