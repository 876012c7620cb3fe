// cli/dispatch.h: the entry of `nodrel`: help, version, and the subcommand named by the first
// argument.
#pragma once

#include <string>
#include <vector>

namespace nodrel::cli {

inline constexpr const char* kVersion = "0.1.0";

// The usage text, final line feed included.
const std::string& usageText();

// Runs the subcommand that argument 1 names and returns the exit status. An exception the
// subcommand lets out becomes "nodrel <subcommand>: <what>" on standard error and status 1.
int dispatchSubcommand(const std::vector<std::string>& arguments);

}  // namespace nodrel::cli
