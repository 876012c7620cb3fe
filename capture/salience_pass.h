// capture/salience_pass.h: the salience pass over a transcript tail: each new salient message
// (see salience.h) stores its turn's exchange as a memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

#include "capture/hook_payload.h"
#include "capture/transcript_tail.h"
#include "db/connection.h"
#include "store/write_state.h"

namespace nodrel::capture {

struct SaliencePassResult {
  std::int64_t count = 0;
  std::size_t stop = 0;        // the tail's messages before this index are done
  std::exception_ptr failure;  // what ended the pass early, when a write failed
};

// Stores the exchange around each new salient message of the tail. While the session goes on,
// the pass ends before an open question (a later run sees its answer); once it has ended
// (`sessionEnded`) the question is stored as it stands. A failed write, or `stopRequested`
// saying so, ends the pass at that message, so the next run starts again there and loses
// nothing; a write refused for capacity has been queued by the write path and is not retried.
SaliencePassResult runSaliencePass(const TranscriptTail& tail, const HookPayload& payload,
                                   bool sessionEnded, db::Connection& connection,
                                   store::WriteState& state,
                                   const std::function<bool()>& stopRequested);

// The index before which this tail's messages can be handled now (see runSaliencePass).
std::size_t salienceBoundary(const TranscriptTail& tail, bool sessionEnded);

// True when some new message before the boundary is salient.
bool hasSalientWork(const TranscriptTail& tail, bool sessionEnded);

}  // namespace nodrel::capture
