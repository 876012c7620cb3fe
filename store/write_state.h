// store/write_state.h: what the memory writes of one run share. Its owner (the server, one
// command's run) creates it and passes it to every write; two states never see each other's.
#pragma once

#include "platform/notifications.h"
#include "store/memory_links.h"
#include "store/pending_write_queue.h"
#include "store/vector_store.h"

namespace nodrel::store {

struct WriteState {
  // Writes refused for capacity, retried by the run's next write.
  PendingWriteQueue pending;
  // The analyses of bodies this run has linked, reused by its later writes.
  MemoryAnalysisCache analyses;
  // Where the run's writes announce a demotion pass or a write refused for capacity.
  platform::NotificationCenter notifications;
  // The copy of the vectors kept for the connection the run writes through, told of every
  // vector stored; null when the run keeps none.
  KeptVectorCopy* keptVectors = nullptr;
};

}  // namespace nodrel::store
