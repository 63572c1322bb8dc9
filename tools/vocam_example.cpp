// Placeholder replaced below once the transport lands.
int main() { return 0; }
