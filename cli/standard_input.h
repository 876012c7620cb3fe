// cli/standard_input.h: how a hook's subcommand reads the payload the host hands it on standard
// input.
#pragma once

#include <string>

namespace nodrel::cli {

// Standard input to its end (interrupted reads are retried; a read error ends it).
std::string readStandardInput();

}  // namespace nodrel::cli
