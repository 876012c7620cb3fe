// platform/git_head.h: the commit a git work tree's HEAD names, read from the repository's own
// files, so a caller can tell that a history has not moved without starting git.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nodrel::platform {

// The full hash of the commit HEAD names for the work tree holding `folder`: the repository is
// the nearest enclosing ".git" (a folder, or a file pointing at one, as a linked work tree or a
// submodule has), HEAD a hash or a branch under refs/heads, the branch a loose ref file or a
// line of packed-refs. Nothing whenever the files leave any doubt that git would see the same
// history from that commit: a GIT_ variable in the environment, a shallow clone (its history
// can deepen under the same HEAD), grafts or replacement refs, a symbolic ref elsewhere than a
// branch, a ref store these files do not hold, a file system boundary on the way up, or anything
// unreadable. Never throws.
std::optional<std::string> readHeadCommit(const std::filesystem::path& folder);

}  // namespace nodrel::platform
