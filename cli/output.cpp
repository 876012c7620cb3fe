#include "cli/output.h"

#include <unistd.h>

#include "platform/files.h"

namespace nodrel::cli {

// A failed write means the reader has gone; there is nobody left to tell.
void writeOut(std::string_view message) { platform::writeFully(STDOUT_FILENO, message); }
void writeErr(std::string_view message) { platform::writeFully(STDERR_FILENO, message); }

}  // namespace nodrel::cli
