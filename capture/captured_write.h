// capture/captured_write.h: how the hook commands store what they captured: credential shapes
// masked first, and a body the user forgot left forgotten.
#pragma once

#include <cstdint>
#include <string>

#include "capture/hook_payload.h"
#include "db/connection.h"
#include "store/write_path.h"

namespace nodrel::capture {

enum class CaptureResult {
  Stored,         // a new memory, or one that was stored before and is reinforced
  AlreadyStored,  // skipped: the write's own session stored this body before
  Forgotten,      // skipped: the user forgot this body
};

// What a hook captured in the payload's session, as an episodic observation of that session in
// the project of its working folder (of no project when the host gave no folder).
store::MemoryWrite capturedWrite(std::string body, std::string tags, std::int64_t importance,
                                 const HookPayload& payload);

// Masks the body's secrets and writes it without reviving a forgotten memory. With
// `skipOwnSession`, a body that the write's own session stored already is left as it is (one
// exchange is one memory, whichever hook saw it first); another session's copy is reinforced.
// Throws what store::writeMemory throws otherwise (WriteBlockedError after queueing the write,
// db::Error).
CaptureResult storeCaptured(db::Connection& connection, store::WriteState& state,
                            store::MemoryWrite write, bool skipOwnSession = false);

}  // namespace nodrel::capture
