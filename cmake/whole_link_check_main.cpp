// Linked with every object file of every project library: the build fails here when two of them
// define the same strong symbol, even before a program calls both.
int main() { return 0; }
