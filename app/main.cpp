// Process entry. The application shell is assembled here as its pieces land.
int main() { return 0; }
