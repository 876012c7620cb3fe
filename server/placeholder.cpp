// server: the MCP server's library (transport, loop, catalogue, routing, tools).
namespace nodrel::server {}
