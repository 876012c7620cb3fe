// server/log.h: the server's diagnostic log. The routing and the tool handlers write their lines
// here and know nothing of the protocol stream; the lines go to standard error, apart from the
// messages the transport carries on standard output.
#pragma once

#include <string_view>

namespace nodrel::server {

// Writes one diagnostic line to standard error (the line feed is added); never fails.
void logLine(std::string_view text);

}  // namespace nodrel::server
