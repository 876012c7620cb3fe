#include "server/log.h"

#include <unistd.h>

#include <string>

#include "platform/files.h"

namespace nodrel::server {

void logLine(std::string_view text) {
  std::string out(text);
  out.push_back('\n');
  // Nowhere left to report a failed write; the protocol stream does not depend on stderr.
  platform::writeFully(STDERR_FILENO, out);
}

}  // namespace nodrel::server
