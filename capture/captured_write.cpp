#include "capture/captured_write.h"

#include <utility>

#include "capture/secret_mask.h"

namespace nodrel::capture {

CaptureResult storeCaptured(db::Connection& connection, store::MemoryWrite write,
                            bool skipOwnSession) {
  write.body = maskSecrets(write.body);
  write.reviveForgotten = false;
  if (skipOwnSession) {
    const auto stored = store::fetchMemory(store::memoryContentHash(write.body), connection);
    if (stored && stored->sourceSession && stored->sourceSession == write.sourceSession) {
      return CaptureResult::AlreadyStored;
    }
  }
  try {
    store::writeMemory(connection, write);
  } catch (const store::ForgottenMemoryError&) {
    return CaptureResult::Forgotten;
  }
  return CaptureResult::Stored;
}

}  // namespace nodrel::capture
