// nodrel-app: stands in for the companion application that initialises the database.
int main() { return 0; }
