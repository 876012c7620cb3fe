// capture/pending_captures.h: sessions whose end-of-session capture could not be completed (the
// database stayed locked, a write failed). The host runs SessionEnd once, so they wait in a
// small list in the data directory for the next hook run of any session to capture them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace nodrel::capture {

struct PendingCapture {
  std::string sessionId;
  std::string transcriptPath;
  std::string cwd;

  friend bool operator==(const PendingCapture&, const PendingCapture&) = default;
};

// At most this many sessions wait; the oldest make room for a newer one.
inline constexpr std::size_t kMaxPendingCaptures = 100;

// Bytes a list of kMaxPendingCaptures entries can need; a larger file is no list of ours.
inline constexpr std::uintmax_t kMaxPendingCapturesBytes = std::uintmax_t{1} << 20;

// "pending-captures.json" in the data directory.
std::filesystem::path pendingCapturesPath();

// True when a list file is there (a stat, not a read): the cheap test of a hook with no work.
bool pendingCapturesWaiting();

// The waiting sessions, oldest first; empty when there is no list or it is unreadable. A file
// over kMaxPendingCapturesBytes, or with more than kMaxPendingCaptures entries, is never read
// whole: it is renamed to "pending-captures.json.set-aside" (so no hook run pays for it again)
// and `setAside`, when given, receives the one line that says so.
std::vector<PendingCapture> loadPendingCaptures(std::string* setAside = nullptr);

// Adds the session (replacing an entry of the same session) and removes the sessions listed in
// `done`. The list is changed under a file lock, so hook runs of several sessions at once lose
// none of each other's entries. Throws platform::FileError when the list cannot be written.
void updatePendingCaptures(const std::vector<PendingCapture>& add,
                           const std::vector<std::string>& done);

}  // namespace nodrel::capture
