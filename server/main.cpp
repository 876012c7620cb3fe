// NodrelMCP: the Model Context Protocol server.
int main() { return 0; }
