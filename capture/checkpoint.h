// capture/checkpoint.h: the Stop hook's work after every assistant turn: store the exchanges
// around the transcript's new salient messages (unless capture is off), turn the waiting
// "/remember" markers of the project directory into memories, and complete the captures that
// earlier runs left pending.
#pragma once

#include <string_view>

#include "capture/hook_payload.h"

namespace nodrel::capture {

// The `checkpoint` command over its standard-input text; returns the exit status. SIGTERM,
// SIGINT and SIGHUP end it after the write in progress, with the watermark where it stopped.
int runCheckpointCommand(std::string_view input, const Diagnostics& diagnostics);

}  // namespace nodrel::capture
