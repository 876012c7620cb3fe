// codeintel: code intelligence (ingestion, parsers, fragility, impact, failures).
namespace nodrel::codeintel {}
