// capture: session capture from transcripts, checkpoint markers and database snapshots.
namespace nodrel::capture {}
