// cli/commands/not_built.h: what a subcommand whose work is not built yet answers: it says so
// and fails, rather than pretending to have done something.
#pragma once

#include <string>

#include "cli/output.h"

namespace nodrel::cli {

inline int notBuilt(const std::string& name) {
  writeErr("nodrel " + name + ": not implemented yet\n");
  return 1;
}

}  // namespace nodrel::cli
