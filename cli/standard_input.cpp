#include "cli/standard_input.h"

#include <unistd.h>

#include <cerrno>

namespace nodrel::cli {

std::string readStandardInput() {
  std::string input;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
      input.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return input;
    }
  }
}

}  // namespace nodrel::cli
