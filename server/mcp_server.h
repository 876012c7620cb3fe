// server/mcp_server.h: the server value main builds once. It owns the one database connection
// that the loop, the routing and every tool handler share; no handler opens its own.
#pragma once

#include <utility>

#include "codeintel/impact.h"
#include "db/connection.h"
#include "store/vector_store.h"
#include "store/write_state.h"

namespace nodrel::server {

class MCPServer {
 public:
  explicit MCPServer(db::Connection connection)
      : connection_(std::move(connection)), keptVectors_(connection_) {
    writeState_.keptVectors = &keptVectors_;
  }

  db::Connection& db() { return connection_; }
  // Kept between impact calls; each graph checks the code counter before it answers.
  codeintel::ImpactGraphCache& impactGraphs() { return impactGraphs_; }
  // Recall searches every stored vector on each context call; the server keeps them packed.
  store::KeptVectorCopy& keptVectors() { return keptVectors_; }
  // What the server's memory writes share, for as long as it runs.
  store::WriteState& writeState() { return writeState_; }

 private:
  db::Connection connection_;
  codeintel::ImpactGraphCache impactGraphs_;
  store::KeptVectorCopy keptVectors_;
  store::WriteState writeState_;
};

}  // namespace nodrel::server
