// codeintel/failure_summary.h: the one observation memory that sums up a recorded build or test
// failure report, written without the body checks the tools run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "store/write_state.h"

namespace nodrel::codeintel {

// An episodic observation of the project, about the trigger file when one is given. Never
// throws: the failure rows are what the caller asked for, so a summary the store refuses (a full
// budget queues it) must not turn a recorded failure into an error.
void writeFailureSummary(db::Connection& connection, store::WriteState& state, std::string body,
                         std::string_view tag, std::int64_t importance, const std::string& project,
                         const std::optional<std::string>& triggerFile,
                         const std::optional<std::string>& sessionID);

}  // namespace nodrel::codeintel
