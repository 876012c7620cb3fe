// store/write_state.h: what the memory writes of one run share. Its owner (the server, one
// command's run) creates it and passes it to every write; two states never see each other's.
#pragma once

#include "store/pending_write_queue.h"

namespace nodrel::store {

struct WriteState {
  // Writes refused for capacity, retried by the run's next write.
  PendingWriteQueue pending;
};

}  // namespace nodrel::store
