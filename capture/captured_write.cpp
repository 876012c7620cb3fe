#include "capture/captured_write.h"

#include <utility>

#include "capture/secret_mask.h"

namespace nodrel::capture {

store::MemoryWrite capturedWrite(std::string body, std::string tags, std::int64_t importance,
                                 const HookPayload& payload) {
  store::MemoryWrite write;
  write.body = std::move(body);
  write.tier = store::MemoryTier::Episodic;
  write.type = store::MemoryType::Observation;
  write.tags = std::move(tags);
  write.importance = importance;
  if (!payload.cwd.empty()) write.project = payload.cwd;
  write.sourceSession = payload.sessionId;
  return write;
}

CaptureResult storeCaptured(db::Connection& connection, store::WriteState& state,
                            store::MemoryWrite write, bool skipOwnSession) {
  write.body = maskSecrets(write.body);
  write.reviveForgotten = false;
  if (skipOwnSession) {
    const auto stored = store::fetchMemory(store::memoryContentHash(write.body), connection);
    if (stored && stored->sourceSession && stored->sourceSession == write.sourceSession) {
      return CaptureResult::AlreadyStored;
    }
  }
  try {
    store::writeMemory(connection, state, write);
  } catch (const store::ForgottenMemoryError&) {
    return CaptureResult::Forgotten;
  }
  return CaptureResult::Stored;
}

}  // namespace nodrel::capture
