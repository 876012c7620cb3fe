// cli/output.h: how every subcommand writes. One message is one write on the unbuffered
// standard output or error handle, so output keeps its order even when the process exits right
// after.
#pragma once

#include <string_view>

namespace nodrel::cli {

void writeOut(std::string_view message);
void writeErr(std::string_view message);

}  // namespace nodrel::cli
