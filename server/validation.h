// server/validation.h: the checks and call facts that the writing tools share: project path,
// content, the surface that made the write and the call's timestamp. None of them can fail;
// a check returns the message that the handler reports as its error.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nodrel::server {

// The first failing test's message, or nothing. The empty path passes.
std::optional<std::string> validateProjectPath(std::string_view path);
// The same tests for any argument that names a directory, the message naming the argument.
std::optional<std::string> validatePathArgument(std::string_view name, std::string_view path);
std::optional<std::string> validateContent(std::string_view content);
// A session id is stored with every call's audit row and by several tools; above 200 characters
// it is no host's id.
std::optional<std::string> validateSessionID(std::string_view sessionID);

// A given, non-empty surface when it is one of the five known ones, else "claude_code";
// without one, NODREL_SURFACE (read at every call) when known, else "claude_code".
std::string resolveSurface(const std::optional<std::string>& surface);

// Now, as database timestamp text ("+0000" zone, milliseconds).
std::string currentTimestamp();

}  // namespace nodrel::server
